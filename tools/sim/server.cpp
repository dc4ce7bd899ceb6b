#include "sim/server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <fmt/format.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>

#include "sim/config.h"

namespace sim {

using namespace kelvo;

namespace {

// A peer that sends this much without waiting for replies is not a client of
// ours; its connection is closed.
constexpr std::size_t INPUT_LIMIT = 64 * 1024;
constexpr Nanos RELISTEN_RETRY = 100 * NANOS_PER_MS;
constexpr int READS_PER_EVENT = 16;
constexpr int ACCEPTS_PER_EVENT = 64;
constexpr int DATAGRAMS_PER_EVENT = 64;

// Discovery answer: 00 00 00 F7, the unit's address (network order), model
// code, aux byte, unit ID, 0, the model name padded with zeros to byte 23,
// the MAC at 24..29.
constexpr std::size_t ANSWER_SIZE = DISCOVERY_MAC + 6;
constexpr std::size_t ANSWER_NAME = 12;

sockaddr_in socketAddress(std::uint32_t address, std::uint16_t port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(address);
    sa.sin_port = htons(port);
    return sa;
}

std::string errorText(const std::string& what, std::uint32_t address, std::uint16_t port) {
    return fmt::format("{} {}:{}: {}", what, formatIPv4(address), port, std::strerror(errno));
}

int boundSocket(int type, std::uint32_t address, std::uint16_t port) {
    const int fd = ::socket(AF_INET, type | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    const sockaddr_in sa = socketAddress(address, port);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0) {
        const int saved = errno;
        ::close(fd);
        errno = saved;
        return -1;
    }
    return fd;
}

void closeFd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

// Unit sockets sit in one epoll set; the key says which unit and which socket.
constexpr std::uint64_t UDP_KEY_BIT = 1;

void watch(int epollFd, int fd, std::size_t slot, bool udp) {
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = (static_cast<std::uint64_t>(slot) << 1) | (udp ? UDP_KEY_BIT : 0);
    if (::epoll_ctl(epollFd, EPOLL_CTL_ADD, fd, &ev) != 0) {
        throw std::runtime_error(fmt::format("epoll_ctl: {}", std::strerror(errno)));
    }
}

}  // namespace

struct Server::Connection {
    int fd = -1;
    std::size_t slot = 0;
    std::vector<std::uint8_t> in;
    Outbox out;
    bool waiting = false;            // a delayed reply is pending
    std::size_t shortWriteSize = 0;  // input size when the short-write wait began
    Nanos shortWriteDue = 0;
};

struct Server::Timer {
    enum class Type : std::uint8_t { Reply, Relisten, ShortWrite, Stall } type;
    std::uint64_t connection = 0;
    std::size_t slot = 0;
    Reply reply{};
    bool close = false;  // Reply: close the connection instead of sending
};

Server::Server(ServerOptions options)
    : options_(std::move(options)),
      rng_(options_.seed),
      epoch_(std::chrono::steady_clock::now().time_since_epoch().count()) {
    static_assert(std::chrono::steady_clock::period::den == NANOS_PER_SECOND);
    for (const Identity& id : options_.units) {
        auto slot = std::make_unique<Slot>(
            Slot{Unit(id, options_.memorySize), "", -1, -1, false, false, {}});
        slot->name = fmt::format("{} {}:{}", formatIPv4(id.address), id.model->name, id.unitId);
        if (options_.analogWaves) slot->unit.useSignalPreset();
        std::uint32_t ruleId = 1;
        for (const FaultRule& rule : options_.faults) {
            if (rule.target.matches(id)) slot->faults.push_back(FaultState{rule, ruleId});
            ++ruleId;
        }
        slots_.push_back(std::move(slot));
    }
    nextFaultId_ = static_cast<std::uint32_t>(options_.faults.size()) + 1;
}

Server::~Server() {
    for (auto& [id, c] : connections_) ::close(c.fd);
    for (auto& [id, c] : controlClients_) ::close(c.fd);
    if (controlFd_ >= 0) {
        closeFd(controlFd_);
        ::unlink(options_.controlPath.c_str());
    }
    for (auto& slot : slots_) {
        closeFd(slot->listenFd);
        closeFd(slot->udpFd);
    }
    closeFd(discoveryFd_);
    closeFd(epollFd_);
    closeFd(spareFd_);
    closeFd(wakePipe_[0]);
    closeFd(wakePipe_[1]);
}

Nanos Server::now() const {
    return std::chrono::steady_clock::now().time_since_epoch().count() - epoch_;
}

void Server::log(const std::string& line) const {
    fmt::print(stderr, "kelvo-sim {:10.3f} {}\n", static_cast<double>(now()) / NANOS_PER_SECOND,
               line);
}

void Server::logFrame(const Slot& slot, std::uint64_t conn, const char* dir,
                      const std::uint8_t* data, std::size_t size) const {
    constexpr std::size_t PER_LINE = 32;
    constexpr std::size_t LOG_PREFIX = 21;  // "kelvo-sim " and the time
    std::string text = fmt::format("{} #{} {} {:3} |", slot.name, conn, dir, size);
    const std::size_t indent = LOG_PREFIX + text.size();
    for (std::size_t i = 0; i < size; ++i) {
        if (i != 0 && i % PER_LINE == 0) text += fmt::format("\n{:>{}}", "|", indent);
        text += fmt::format(" {:02x}", data[i]);
    }
    log(text);
}

void Server::openListener(std::size_t index) {
    Slot& slot = *slots_[index];
    const std::uint32_t address = slot.unit.identity().address;
    const int fd = boundSocket(SOCK_STREAM, address, options_.commandPort);
    if (fd < 0 || ::listen(fd, SOMAXCONN) != 0) {
        const std::string message = errorText("cannot listen on", address, options_.commandPort);
        if (fd >= 0) ::close(fd);
        throw std::runtime_error(message);
    }
    slot.listenFd = fd;
    watch(epollFd_, fd, index, false);
}

void Server::openUnitSocket(std::size_t index) {
    Slot& slot = *slots_[index];
    const std::uint32_t address = slot.unit.identity().address;
    // Answers leave from the discovery port like a real unit's; if another
    // process holds it, any port will do: the library does not look at it.
    int fd = boundSocket(SOCK_DGRAM, address, options_.discoveryPort);
    if (fd < 0) fd = boundSocket(SOCK_DGRAM, address, 0);
    if (fd < 0) throw std::runtime_error(errorText("cannot bind UDP", address, 0));
    slot.udpFd = fd;
    watch(epollFd_, fd, index, true);
}

void Server::bind() {
    if (::pipe2(wakePipe_, O_NONBLOCK | O_CLOEXEC) != 0) {
        throw std::runtime_error(fmt::format("pipe: {}", std::strerror(errno)));
    }
    epollFd_ = ::epoll_create1(EPOLL_CLOEXEC);
    if (epollFd_ < 0) throw std::runtime_error(fmt::format("epoll: {}", std::strerror(errno)));
    spareFd_ = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    for (std::size_t i = 0; i < slots_.size(); ++i) {
        openListener(i);
        if (options_.discovery) openUnitSocket(i);
    }
    if (options_.discovery && options_.broadcastDiscovery) {
        discoveryFd_ = boundSocket(SOCK_DGRAM, INADDR_ANY, options_.discoveryPort);
        if (discoveryFd_ < 0) {
            throw std::runtime_error(
                errorText("cannot bind UDP", INADDR_ANY, options_.discoveryPort));
        }
    }
    if (!options_.controlPath.empty()) openControl();
}

void Server::stop() {
    stopping_ = true;
    if (wakePipe_[1] >= 0) {
        const char byte = 0;
        [[maybe_unused]] const ssize_t n = ::write(wakePipe_[1], &byte, 1);
    }
}

void Server::run() {
    enum class Source : std::uint8_t {
        Wake,
        Discovery,
        UnitSockets,
        Connection,
        ControlListener,
        ControlClient
    };
    struct Tag {
        Source source;
        std::uint64_t id;
    };
    std::vector<pollfd> fds;
    std::vector<Tag> tags;
    auto add = [&](int fd, short events, Source source, std::uint64_t id) {
        fds.push_back(pollfd{fd, events, 0});
        tags.push_back(Tag{source, id});
    };

    // A client whose replies have piled up is not read from until it takes
    // some of them.
    const auto events = [](const Outbox& out) {
        return static_cast<short>((out.bytes.size() < OUTPUT_LIMIT ? POLLIN : 0) |
                                  (out.bytes.empty() ? 0 : POLLOUT));
    };
    while (!stopping_) {
        ++stats_.rounds;
        fds.clear();
        tags.clear();
        add(wakePipe_[0], POLLIN, Source::Wake, 0);
        if (discoveryFd_ >= 0) add(discoveryFd_, POLLIN, Source::Discovery, 0);
        // The units' listeners and UDP sockets, thousands of them with
        // --count, wait behind one descriptor: a round costs what the active
        // connections cost, not what the units do. Out of descriptors, the
        // listeners rest for a while (see acceptOne).
        Nanos due = timers_.empty() ? -1 : timers_.begin()->first;
        const bool accepting = acceptPausedUntil_ <= now();
        if (accepting) {
            add(epollFd_, POLLIN, Source::UnitSockets, 0);
            if (controlFd_ >= 0) add(controlFd_, POLLIN, Source::ControlListener, 0);
        } else if (due < 0 || acceptPausedUntil_ < due) {
            due = acceptPausedUntil_;
        }
        for (const auto& [id, c] : connections_) {
            add(c.fd, events(c.out), Source::Connection, id);
        }
        for (const auto& [id, c] : controlClients_) {
            add(c.fd, events(c.out), Source::ControlClient, id);
        }

        int timeout = -1;
        if (due >= 0) {
            const Nanos wait = due - now();
            timeout = wait <= 0 ? 0 : static_cast<int>((wait + NANOS_PER_MS - 1) / NANOS_PER_MS);
        }
        if (::poll(fds.data(), fds.size(), timeout) < 0) {
            if (errno == EINTR) continue;
            throw std::runtime_error(fmt::format("poll: {}", std::strerror(errno)));
        }

        for (std::size_t k = 0; k < fds.size() && !stopping_; ++k) {
            if (fds[k].revents == 0) continue;
            const Tag tag = tags[k];
            switch (tag.source) {
                case Source::Wake: {
                    char drain[64];
                    while (::read(wakePipe_[0], drain, sizeof drain) > 0) {
                    }
                    break;
                }
                case Source::Discovery:
                    answerDiscovery(discoveryFd_, true, 0);
                    break;
                case Source::UnitSockets:
                    serveUnitSockets();
                    break;
                case Source::Connection: {
                    // Connections can close (or be closed by a restart) at
                    // any step, so each step looks its connection up anew.
                    if ((fds[k].revents & POLLOUT) != 0 && connections_.count(tag.id) != 0) {
                        flushOutput(tag.id);
                        // Requests held back while the replies piled up.
                        processInput(tag.id);
                    }
                    if ((fds[k].revents & (POLLIN | POLLHUP | POLLERR)) != 0 &&
                        connections_.count(tag.id) != 0) {
                        readConnection(tag.id);
                    }
                    break;
                }
                case Source::ControlListener:
                    acceptControl();
                    break;
                case Source::ControlClient:
                    if ((fds[k].revents & POLLOUT) != 0 && controlClients_.count(tag.id) != 0) {
                        flushControl(tag.id);
                        // Commands held back while the replies piled up.
                        if (controlClients_.count(tag.id) != 0) runControl(tag.id);
                    }
                    if ((fds[k].revents & (POLLIN | POLLHUP | POLLERR)) != 0 &&
                        controlClients_.count(tag.id) != 0) {
                        readControl(tag.id);
                    }
                    break;
            }
        }
        runTimers();
    }
    if (options_.verbose) log(fmt::format("stopped after {} exchanges", exchanges_));
}

void Server::serveUnitSockets() {
    std::array<epoll_event, 64> events{};
    const int n = ::epoll_wait(epollFd_, events.data(), static_cast<int>(events.size()), 0);
    for (int k = 0; k < n; ++k) {
        const std::uint64_t key = events[static_cast<std::size_t>(k)].data.u64;
        const auto index = static_cast<std::size_t>(key >> 1);
        const Slot& slot = *slots_[index];
        if ((key & UDP_KEY_BIT) != 0) {
            answerDiscovery(slot.udpFd, false, index);
        } else if (slot.listenFd >= 0) {  // a restart may have closed it since
            acceptAll(index);
        }
    }
}

void Server::acceptAll(std::size_t index) {
    Slot& slot = *slots_[index];
    for (int i = 0; i < ACCEPTS_PER_EVENT; ++i) {
        sockaddr_in peer{};
        const int fd = acceptOne(slot.listenFd, &peer);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK) {
                log(fmt::format("{}: accept: {}", slot.name, std::strerror(errno)));
            }
            return;
        }
        const int on = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        const std::uint64_t id = nextConnection_++;
        connections_.emplace(id, Connection{fd, index, {}, {}, false, 0, 0});
        if (options_.verbose) {
            log(fmt::format("{} #{} connected from {}:{}", slot.name, id,
                            formatIPv4(ntohl(peer.sin_addr.s_addr)), ntohs(peer.sin_port)));
        }
    }
}

int Server::acceptOne(int listenFd, sockaddr_in* peer) {
    socklen_t len = sizeof *peer;
    const int fd = ::accept4(listenFd, reinterpret_cast<sockaddr*>(peer),
                             peer != nullptr ? &len : nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd >= 0) return fd;
    const int error = errno;
    if (error != EMFILE && error != ENFILE && error != ENOBUFS && error != ENOMEM) return -1;
    // Out of descriptors or memory. The waiting connection stays in the
    // backlog and the listener ready, so giving up here would wake the loop
    // again at once, round after round. Accept it on the spare descriptor
    // and close it: the client sees its connection closed.
    bool turnedAway = false;
    if (spareFd_ >= 0 && (error == EMFILE || error == ENFILE)) {
        closeFd(spareFd_);
        const int extra = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        const int extraError = errno;
        if (extra >= 0) {
            ::close(extra);
            turnedAway = true;
            ++stats_.turnedAway;
        }
        spareFd_ = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        if (extra < 0 && extraError == EAGAIN) {
            errno = EAGAIN;  // nothing was waiting any more
            return -1;
        }
    }
    if (now() - lastTurnAwayLog_ >= NANOS_PER_SECOND) {
        lastTurnAwayLog_ = now();
        log(fmt::format(
            "accept: {}: {}", std::strerror(error),
            turnedAway ? "closing new connections"
                       : fmt::format("not accepting for {} ms", ACCEPT_BACKOFF / NANOS_PER_MS)));
    }
    if (turnedAway) {
        errno = ECONNABORTED;
        return -1;
    }
    // No spare descriptor to do it with: the listeners rest for a while.
    acceptPausedUntil_ = now() + ACCEPT_BACKOFF;
    errno = EAGAIN;
    return -1;
}

void Server::queue(std::uint64_t id, Outbox& box, const char* data, std::size_t size) {
    if (box.bytes.empty()) box.lastProgress = now();
    box.bytes.append(data, size);
    if (box.bytes.size() > stats_.peakQueued) stats_.peakQueued = box.bytes.size();
    if (!box.watched) {
        box.watched = true;
        timers_.emplace(box.lastProgress + options_.stallTimeout, Timer{Timer::Type::Stall, id, 0});
    }
}

bool Server::flush(int fd, Outbox& box) {
    if (box.bytes.empty()) return true;
    const ssize_t n = ::send(fd, box.bytes.data(), box.bytes.size(), MSG_NOSIGNAL);
    if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
    box.bytes.erase(0, static_cast<std::size_t>(n));
    if (n > 0) box.lastProgress = now();
    return true;
}

// A client that has taken none of its waiting replies for the stall timeout
// is closed; one that takes them, however slowly, is watched on.
void Server::checkStall(std::uint64_t id) {
    Outbox* box = nullptr;
    if (auto it = connections_.find(id); it != connections_.end()) box = &it->second.out;
    if (auto it = controlClients_.find(id); it != controlClients_.end()) box = &it->second.out;
    if (box == nullptr) return;
    box->watched = false;
    if (box->bytes.empty()) return;
    const Nanos due = box->lastProgress + options_.stallTimeout;
    if (due > now()) {
        box->watched = true;
        timers_.emplace(due, Timer{Timer::Type::Stall, id, 0});
        return;
    }
    ++stats_.stallClosed;
    log(fmt::format("#{} closed: {} reply bytes not taken for {} ms", id, box->bytes.size(),
                    options_.stallTimeout / NANOS_PER_MS));
    if (connections_.count(id) != 0) return closeConnection(id, "replies not taken");
    closeControl(id);
}

void Server::readConnection(std::uint64_t id) {
    std::uint8_t buffer[4096];
    for (int i = 0; i < READS_PER_EVENT; ++i) {
        auto it = connections_.find(id);
        if (it == connections_.end()) return;
        Connection& c = it->second;
        if (c.out.bytes.size() >= OUTPUT_LIMIT) {
            // The rest stays in the socket until the client takes replies.
            // The loop does not ask for input now, so on the first read
            // only a hang-up or an error gets here: the replies cannot go.
            if (i == 0) closeConnection(id, "hung up with replies waiting");
            return;
        }
        const ssize_t n = ::recv(c.fd, buffer, sizeof buffer, 0);
        if (n > 0) {
            c.in.insert(c.in.end(), buffer, buffer + n);
            if (c.in.size() > INPUT_LIMIT) return closeConnection(id, "too much input");
            processInput(id);
            if (static_cast<std::size_t>(n) < sizeof buffer) return;
            continue;
        }
        if (n == 0) return closeConnection(id, "closed by peer");
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return;
        return closeConnection(id, std::strerror(errno));
    }
}

void Server::processInput(std::uint64_t id) {
    // The library sends one request and waits for its reply, so a request is
    // complete once its command's length is there, and whatever else arrived
    // with it (up to a whole frame) is the tail of a longer raw frame.
    for (;;) {
        auto it = connections_.find(id);
        if (it == connections_.end()) return;
        Connection& c = it->second;
        if (c.waiting || c.in.empty() || c.out.bytes.size() >= OUTPUT_LIMIT) return;
        const Kind kind = slots_[c.slot]->unit.model().kind;
        const std::uint8_t command = c.in[frame::COMMAND];
        const std::uint8_t selector = c.in.size() > frame::SELECTOR ? c.in[frame::SELECTOR] : 0;
        const std::size_t expected = requestLength(command, selector, kind);
        std::size_t take = 0;
        if (expected == 0) {
            take = std::min(c.in.size(), FRAME_SIZE);  // unknown: answer what came
        } else if (c.in.size() >= expected) {
            take = c.in.size() <= FRAME_SIZE ? c.in.size() : expected;
        } else if (mayBeShortWrite(command, selector, kind) && c.in.size() >= SHORT_REQUEST) {
            // 24 bytes of an expected 80: a port write to an analog unit, or
            // the rest is still on its way. Wait a little for the rest.
            if (c.shortWriteSize != c.in.size()) {
                c.shortWriteSize = c.in.size();
                c.shortWriteDue = now() + SHORT_WRITE_WAIT;
                timers_.emplace(c.shortWriteDue, Timer{Timer::Type::ShortWrite, id, c.slot});
                return;
            }
            if (now() < c.shortWriteDue) return;
            take = c.in.size();
        } else {
            return;
        }
        CommandFrame request{};
        std::copy_n(c.in.begin(), take, request.begin());
        c.in.erase(c.in.begin(), c.in.begin() + static_cast<std::ptrdiff_t>(take));
        c.shortWriteSize = 0;
        exchange(id, request.data(), take);
    }
}

void Server::exchange(std::uint64_t id, const std::uint8_t* request, std::size_t size) {
    Connection& c = connections_.at(id);
    const std::size_t index = c.slot;
    Slot& slot = *slots_[index];
    ++exchanges_;
    if (options_.verbose) logFrame(slot, id, "<-", request, size);

    // Identification is left alone so that discovery keeps working in fault
    // tests; the version request (byte 4 = 9) is an ordinary command.
    const bool identification = request[0] == CMD_INFO && request[4] != INFO_VERSION;
    FaultPlan plan;
    if (!identification || options_.faultIdentification) {
        plan = decideFaults(slot.faults, options_.randomFaults, request[0], rng_);
    }
    if (plan.any() && options_.verbose) {
        std::string what = plan.delayMs != 0 ? fmt::format("delay {} ms", plan.delayMs) : "";
        if (plan.outcome) {
            what += fmt::format("{}{} {}", what.empty() ? "" : ", ", faultName(*plan.outcome),
                                plan.arg);
        }
        log(fmt::format("{} #{} fault: {}", slot.name, id, what));
    }

    if (options_.exchangeLog) logExchange(slot, request, plan);

    if (plan.outcome == FaultKind::Restart) return restartUnit(index, plan.arg);
    Reply reply = plan.outcome == FaultKind::Status
                      ? Unit::header(request, size, static_cast<std::uint8_t>(plan.arg))
                      : slot.unit.handle(request, size, now());
    if (plan.outcome == FaultKind::Sequence) ++reply.bytes[frame::SEQUENCE];
    if (plan.outcome == FaultKind::Drop) return;
    const bool close = plan.outcome == FaultKind::Close;
    if (plan.delayMs != 0) {
        c.waiting = true;
        timers_.emplace(now() + Nanos{plan.delayMs} * NANOS_PER_MS,
                        Timer{Timer::Type::Reply, id, index, reply, close});
        return;
    }
    if (close) return closeConnection(id, "fault: close");
    sendReply(id, reply);
}

// "ADDRESS COMMAND SEQUENCE DELAY OUTCOME ARG": command in hex, delay in ms,
// outcome "none" or a fault name. Flushed at once, so that a client which
// has seen the reply (or its absence) can already read the line.
void Server::logExchange(const Slot& slot, const std::uint8_t* request, const FaultPlan& plan) {
    fmt::print(options_.exchangeLog, "{} {:02x} {} {} {} {}\n",
               formatIPv4(slot.unit.identity().address), request[frame::COMMAND],
               request[frame::SEQUENCE], plan.delayMs,
               plan.outcome ? faultName(*plan.outcome) : "none", plan.arg);
    std::fflush(options_.exchangeLog);
}

void Server::sendReply(std::uint64_t id, const Reply& reply) {
    Connection& c = connections_.at(id);
    if (options_.verbose) logFrame(*slots_[c.slot], id, "->", reply.bytes.data(), reply.size);
    const auto* data = reinterpret_cast<const char*>(reply.bytes.data());
    ssize_t n = 0;
    if (c.out.bytes.empty()) {
        // One send per reply: the library takes a reply with one receive.
        n = ::send(c.fd, data, reply.size, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
                return closeConnection(id, std::strerror(errno));
            }
            n = 0;
        }
    }
    const auto sent = static_cast<std::size_t>(n);
    if (sent < reply.size) queue(id, c.out, data + sent, reply.size - sent);
}

void Server::flushOutput(std::uint64_t id) {
    Connection& c = connections_.at(id);
    if (!flush(c.fd, c.out)) closeConnection(id, std::strerror(errno));
}

void Server::closeConnection(std::uint64_t id, const char* why) {
    auto it = connections_.find(id);
    if (it == connections_.end()) return;
    if (options_.verbose)
        log(fmt::format("{} #{} closed: {}", slots_[it->second.slot]->name, id, why));
    ::close(it->second.fd);
    connections_.erase(it);
}

void Server::takeDown(std::size_t index, const char* why) {
    Slot& slot = *slots_[index];
    // The listener goes first: a client that sees its connection close must
    // find the unit unreachable, not reach the old listener's backlog.
    closeFd(slot.listenFd);
    slot.down = true;
    std::vector<std::uint64_t> ids;
    for (const auto& [id, c] : connections_) {
        if (c.slot == index) ids.push_back(id);
    }
    for (std::uint64_t id : ids) closeConnection(id, why);
}

void Server::restartUnit(std::size_t index, std::uint32_t downtimeMs) {
    Slot& slot = *slots_[index];
    if (options_.verbose) log(fmt::format("{} restarting, down for {} ms", slot.name, downtimeMs));
    takeDown(index, "unit restart");
    timers_.emplace(now() + Nanos{downtimeMs} * NANOS_PER_MS,
                    Timer{Timer::Type::Relisten, 0, index});
}

void Server::runTimers() {
    while (!timers_.empty() && timers_.begin()->first <= now()) {
        const Timer timer = timers_.begin()->second;
        timers_.erase(timers_.begin());
        switch (timer.type) {
            case Timer::Type::Reply: {
                auto it = connections_.find(timer.connection);
                if (it == connections_.end()) break;  // the client gave up
                it->second.waiting = false;
                if (timer.close) {
                    closeConnection(timer.connection, "fault: close");
                    break;
                }
                sendReply(timer.connection, timer.reply);
                processInput(timer.connection);
                break;
            }
            case Timer::Type::ShortWrite:
                processInput(timer.connection);
                break;
            case Timer::Type::Stall:
                checkStall(timer.connection);
                break;
            case Timer::Type::Relisten: {
                Slot& slot = *slots_[timer.slot];
                if (slot.held || slot.listenFd >= 0) break;  // "down", or "up" came first
                try {
                    openListener(timer.slot);
                    slot.down = false;
                    if (options_.verbose) log(fmt::format("{} listening again", slot.name));
                } catch (const std::runtime_error& e) {
                    log(e.what());
                    timers_.emplace(now() + RELISTEN_RETRY,
                                    Timer{Timer::Type::Relisten, 0, timer.slot});
                }
                break;
            }
        }
    }
}

void Server::answerDiscovery(int fd, bool broadcast, std::size_t unicastSlot) {
    for (int i = 0; i < DATAGRAMS_PER_EVENT; ++i) {
        std::uint8_t buffer[512];
        sockaddr_in from{};
        socklen_t len = sizeof from;
        const ssize_t n =
            ::recvfrom(fd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &len);
        if (n < 0) {
            if (errno == EINTR) continue;
            return;
        }
        const bool query = static_cast<std::size_t>(n) == DISCOVERY_QUERY.size() &&
                           std::equal(DISCOVERY_QUERY.begin(), DISCOVERY_QUERY.end(), buffer);
        if (options_.verbose) {
            log(fmt::format("discovery: {} {} bytes from {}:{}{}", query ? "query," : "ignored", n,
                            formatIPv4(ntohl(from.sin_addr.s_addr)), ntohs(from.sin_port),
                            broadcast ? "" : fmt::format(" for {}", slots_[unicastSlot]->name)));
        }
        if (!query) continue;
        const std::size_t first = broadcast ? 0 : unicastSlot;
        const std::size_t last = broadcast ? slots_.size() : unicastSlot + 1;
        for (std::size_t s = first; s < last; ++s) {
            const Slot& slot = *slots_[s];
            if (slot.down || slot.udpFd < 0) continue;
            const Identity& id = slot.unit.identity();
            std::array<std::uint8_t, ANSWER_SIZE> answer{};
            answer[3] = 0xF7;
            for (std::size_t b = 0; b < 4; ++b) {
                answer[4 + b] = static_cast<std::uint8_t>(id.address >> (24 - 8 * b));
            }
            answer[8] = id.model->code;
            answer[9] = id.aux;
            answer[10] = id.unitId;
            std::memcpy(answer.data() + ANSWER_NAME, id.model->name,
                        std::min(std::strlen(id.model->name), DISCOVERY_MAC - ANSWER_NAME));
            std::copy(id.mac.begin(), id.mac.end(), answer.begin() + DISCOVERY_MAC);
            if (::sendto(slot.udpFd, answer.data(), answer.size(), 0,
                         reinterpret_cast<const sockaddr*>(&from), len) < 0 &&
                options_.verbose) {
                log(fmt::format("{}: discovery answer: {}", slot.name, std::strerror(errno)));
            }
        }
    }
}

void Server::openControl() {
    const std::string& path = options_.controlPath;
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    if (path.size() >= sizeof sa.sun_path) {
        throw std::runtime_error(fmt::format("control socket path too long: {}", path));
    }
    std::copy(path.begin(), path.end(), sa.sun_path);
    // A socket left behind by an earlier run is replaced; any other file is not.
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode)) ::unlink(path.c_str());
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    // Whoever can connect can set outputs and inject faults: the socket is
    // created readable and writable by its owner only, whatever the umask.
    const mode_t previous = ::umask(0177);
    const bool bound =
        fd >= 0 && ::bind(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0;
    const int bindError = errno;
    ::umask(previous);
    errno = bindError;
    if (!bound || ::listen(fd, SOMAXCONN) != 0) {
        const std::string message =
            fmt::format("cannot listen on control socket {}: {}", path, std::strerror(errno));
        if (fd >= 0) ::close(fd);
        throw std::runtime_error(message);
    }
    controlFd_ = fd;
}

void Server::acceptControl() {
    for (int i = 0; i < ACCEPTS_PER_EVENT; ++i) {
        const int fd = acceptOne(controlFd_, nullptr);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            return;
        }
        if (controlClients_.size() >= CONTROL_CLIENT_LIMIT) {
            const std::string line =
                fmt::format("error too many control clients ({})\n", CONTROL_CLIENT_LIMIT);
            [[maybe_unused]] const ssize_t n = ::send(fd, line.data(), line.size(), MSG_NOSIGNAL);
            ::close(fd);
            ++stats_.turnedAway;
            continue;
        }
        controlClients_.emplace(nextConnection_++, ControlClient{fd, {}, {}});
    }
}

void Server::readControl(std::uint64_t id) {
    ControlClient& c = controlClients_.at(id);
    // Not asked for input with replies piled up: a hang-up or an error.
    if (c.out.bytes.size() >= OUTPUT_LIMIT) return closeControl(id);
    char buffer[4096];
    const ssize_t n = ::recv(c.fd, buffer, sizeof buffer, 0);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
    if (n <= 0) return closeControl(id);
    c.in.append(buffer, static_cast<std::size_t>(n));
    runControl(id);
}

// Carries out the complete lines that have arrived, one reply line each, in
// order, until the replies waiting for the client reach OUTPUT_LIMIT; the
// rest wait until the client reads. So a client that sends and never reads
// holds at most OUTPUT_LIMIT bytes of replies and a few kB of commands.
void Server::runControl(std::uint64_t id) {
    ControlClient& c = controlClients_.at(id);
    std::size_t start = 0;
    std::size_t end;
    while (c.out.bytes.size() < OUTPUT_LIMIT &&
           (end = c.in.find('\n', start)) != std::string::npos) {
        std::string_view line(c.in.data() + start, end - start);
        start = end + 1;
        if (line.ends_with('\r')) line.remove_suffix(1);
        std::string reply = control(line);
        if (options_.verbose) log(fmt::format("control: {} -> {}", line, reply));
        reply += '\n';
        queue(id, c.out, reply.data(), reply.size());
    }
    c.in.erase(0, start);
    if (c.in.size() > CONTROL_LINE_LIMIT && c.in.find('\n') == std::string::npos) {
        log(fmt::format("#{} closed: control line longer than {} bytes", id, CONTROL_LINE_LIMIT));
        return closeControl(id);
    }
    flushControl(id);
}

void Server::flushControl(std::uint64_t id) {
    ControlClient& c = controlClients_.at(id);
    if (!flush(c.fd, c.out)) closeControl(id);
}

void Server::closeControl(std::uint64_t id) {
    auto it = controlClients_.find(id);
    if (it == controlClients_.end()) return;
    ::close(it->second.fd);
    controlClients_.erase(it);
}

void Server::holdDown(std::size_t index, bool down) {
    Slot& slot = *slots_[index];
    slot.held = down;
    if (down) {
        takeDown(index, "unit down");
    } else if (slot.listenFd < 0) {
        openListener(index);
        slot.down = false;
    }
}

}  // namespace sim
