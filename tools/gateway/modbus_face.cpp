#include "modbus_face.h"

#include <fcntl.h>
#include <modbus/modbus.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>

#include "common/units.h"
#include "discovery.h"

namespace gateway {
namespace {

// A write not answered by then is answered with "target failed to respond"
// (well past the reply timeout of a unit and the commands queued before it).
constexpr auto WRITE_LIMIT = std::chrono::seconds(5);
// Per connection: a request is at most MODBUS_MAX_FRAME bytes; a client
// that sends more while its write is waiting, or does not read its answers,
// is not read from until it catches up.
constexpr std::size_t IN_LIMIT = 4 * MODBUS_MAX_FRAME;
constexpr std::size_t OUT_LIMIT = 64 * 1024;
constexpr std::size_t READ_CHUNK = 4096;
constexpr int LISTEN_BACKLOG = 64;
constexpr int LOOP_WAKE_MS = 1000;
constexpr int DISCOVERY_WAIT_MS = kelvo::tools::REPLY_TIMEOUT_MS;
constexpr int LISTED_WAIT_MS = 300;

// A command that failed, as a Modbus exception: the unit was offline when it
// came, or it failed at the unit (refused, or the exchange failed and it may
// have been carried out: the unit's own refusal looks the same).
std::uint8_t ExceptionFor(const std::string& reason) {
    return reason == "unit offline" ? MODBUS_TARGET_FAILED : MODBUS_DEVICE_FAILURE;
}

// "HOST:PORT", "[V6]:PORT" or ":PORT" (every address).
void SplitListen(const std::string& text, std::string& host, std::string& port) {
    const auto colon = text.rfind(':');
    if (colon == std::string::npos) throw ConfigError("modbus: '" + text + "' is not HOST:PORT");
    host = text.substr(0, colon);
    port = text.substr(colon + 1);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
        host = host.substr(1, host.size() - 2);
    }
    int value = 0;
    const auto [end, ec] = std::from_chars(port.data(), port.data() + port.size(), value);
    if (port.empty() || ec != std::errc() || end != port.data() + port.size() || value < 1 ||
        value > 65535) {
        throw ConfigError("modbus: bad port '" + port + "' in '" + text + "'");
    }
}

}  // namespace

ModbusFace::ModbusFace(PointModel& model, const Settings& settings)
    : model_(model), settings_(settings.modbus), ids_(settings) {
    std::string host, port;
    SplitListen(settings_.listen, host, port);
    modbus_t* ctx =
        modbus_new_tcp_pi(host.empty() || host == "*" ? nullptr : host.c_str(), port.c_str());
    if (!ctx) throw ConfigError("modbus: cannot listen on " + settings_.listen);
    errno = 0;
    listener_ = modbus_tcp_pi_listen(ctx, LISTEN_BACKLOG);
    const int error = errno;
    modbus_free(ctx);
    if (listener_ < 0) {
        // A name that does not resolve leaves errno as it was.
        throw ConfigError("modbus: cannot listen on " + settings_.listen + ": " +
                          (error ? std::strerror(error) : "no such address"));
    }
    fcntl(listener_, F_SETFL, fcntl(listener_, F_GETFL) | O_NONBLOCK);
    fcntl(listener_, F_SETFD, FD_CLOEXEC);
    wakeFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wakeFd_ < 0) {
        close(listener_);
        throw ConfigError(std::string("modbus: no event descriptor: ") + std::strerror(errno));
    }
}

ModbusFace::~ModbusFace() {
    stop();
    if (listener_ >= 0) close(listener_);
    if (wakeFd_ >= 0) close(wakeFd_);
}

void ModbusFace::start() {
    thread_ = std::thread([this] { run(); });
}

void ModbusFace::stop() {
    stopping_ = true;
    wake();
    if (thread_.joinable()) thread_.join();
    for (Client& c : clients_) close(c.fd);
    clients_.clear();
    clientCount_ = 0;
    pending_.clear();
}

void ModbusFace::wake() {
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = write(wakeFd_, &one, sizeof one);
}

void ModbusFace::unitAdded(std::size_t unit, const UnitDescription& description,
                           const std::vector<Point>&) {
    if (ids_.add(description.name, unit) == 0) {
        std::fprintf(stderr, "kelvo-gateway: %s: no Modbus unit ID left; not served on Modbus\n",
                     description.topic.c_str());
    }
}

void ModbusFace::commandFailed(std::size_t, const CommandRequest& request,
                               const std::string& reason, const char*) {
    {
        std::lock_guard<std::mutex> hold(outcomesMutex_);
        outcomes_.push_back({request.tag, ExceptionFor(reason)});
    }
    wake();
}

void ModbusFace::commandConfirmed(std::size_t, const CommandRequest& request) {
    {
        std::lock_guard<std::mutex> hold(outcomesMutex_);
        outcomes_.push_back({request.tag, 0});
    }
    wake();
}

ModbusFace::Client* ModbusFace::find(std::uint64_t serial) {
    for (Client& c : clients_) {
        if (c.serial == serial) return &c;
    }
    return nullptr;
}

void ModbusFace::accept() {
    for (;;) {
        const int fd = accept4(listener_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) return;  // none left, or a connection that went away meanwhile
        if (clients_.size() >= static_cast<std::size_t>(settings_.clients)) {
            close(fd);  // at the limit: closed at once rather than left waiting
            continue;
        }
        const int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        Client c;
        c.fd = fd;
        c.serial = nextSerial_++;
        c.active = Clock::now();
        clients_.push_back(std::move(c));
        clientCount_ = clients_.size();
    }
}

bool ModbusFace::receive(Client& c) {
    std::uint8_t chunk[READ_CHUNK];
    const std::size_t room = IN_LIMIT - std::min(IN_LIMIT, c.in.size());
    if (room == 0) return true;
    const ssize_t n = recv(c.fd, chunk, std::min(room, sizeof chunk), 0);
    if (n == 0) return false;
    if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
    c.in.insert(c.in.end(), chunk, chunk + n);
    c.active = Clock::now();
    return true;
}

bool ModbusFace::serve(Client& c) {
    std::size_t used = 0;
    bool open = true;
    while (!c.writing && c.out.size() < OUT_LIMIT) {
        const long size = ModbusFrameLength(c.in.data() + used, c.in.size() - used);
        if (size < 0) {
            open = false;  // not Modbus TCP: nothing further can be read from it
            break;
        }
        if (size == 0) break;
        const std::uint8_t* frame = c.in.data() + used;
        ModbusAnswer a =
            AnswerModbus(model_, ids_, settings_.wordOrder, frame, static_cast<std::size_t>(size));
        if (a.write) {
            const std::uint64_t id = nextWrite_++;
            Pending p;
            p.client = c.serial;
            p.left = a.write->requests.size();
            p.reply = std::move(a.write->reply);
            p.frame.assign(frame, frame + MODBUS_HEADER + 1);
            p.deadline = Clock::now() + WRITE_LIMIT;
            pending_.emplace(id, std::move(p));
            c.writing = id;
            // Outcomes (even a refusal within submit) come back through the
            // queue, handled after this.
            for (CommandRequest& r : a.write->requests) {
                r.origin = this;
                r.tag = id;
                model_.submit(a.write->unit, r);
            }
        } else if (a.reply.empty()) {
            open = false;
            break;
        } else {
            c.out.insert(c.out.end(), a.reply.begin(), a.reply.end());
        }
        used += static_cast<std::size_t>(size);
    }
    c.in.erase(c.in.begin(), c.in.begin() + static_cast<long>(used));
    return open;
}

bool ModbusFace::flush(Client& c) {
    while (!c.out.empty()) {
        const ssize_t n = send(c.fd, c.out.data(), c.out.size(), MSG_NOSIGNAL);
        if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
        c.out.erase(c.out.begin(), c.out.begin() + n);
    }
    return true;
}

void ModbusFace::finish(std::uint64_t write, std::uint8_t error) {
    const auto it = pending_.find(write);
    if (it == pending_.end()) return;
    Pending& p = it->second;
    if (p.left > 0) --p.left;
    if (!p.error) p.error = error;
    if (p.left > 0 && !error) return;
    // A failure is answered at once; the write's other commands, if any,
    // still run (nothing can take them back), their outcomes are dropped.
    Client* c = find(p.client);
    if (c && c->writing == write) {
        const auto reply = p.error ? ModbusError(p.frame.data(), p.error) : p.reply;
        c->out.insert(c->out.end(), reply.begin(), reply.end());
        c->writing = 0;
        c->active = Clock::now();
    }
    pending_.erase(it);
}

void ModbusFace::run() {
    std::vector<pollfd> fds;
    std::vector<Outcome> outcomes;
    while (!stopping_) {
        fds.clear();
        fds.push_back({wakeFd_, POLLIN, 0});
        fds.push_back({listener_, POLLIN, 0});
        auto next = Clock::now() + std::chrono::milliseconds(LOOP_WAKE_MS);
        const auto idle = std::chrono::seconds(settings_.idleTimeoutS);
        for (const Client& c : clients_) {
            short events = 0;
            if (!c.writing && c.in.size() < IN_LIMIT && c.out.size() < OUT_LIMIT) events |= POLLIN;
            if (!c.out.empty()) events |= POLLOUT;
            fds.push_back({c.fd, events, 0});
            if (!c.writing) next = std::min(next, c.active + idle);
        }
        for (const auto& [id, p] : pending_) next = std::min(next, p.deadline);
        const auto wait =
            std::chrono::duration_cast<std::chrono::milliseconds>(next - Clock::now()).count();
        if (poll(fds.data(), fds.size(),
                 static_cast<int>(std::clamp<long>(wait + 1, 0, LOOP_WAKE_MS))) < 0 &&
            errno != EINTR) {
            std::fprintf(stderr, "kelvo-gateway: modbus: poll: %s\n", std::strerror(errno));
            return;
        }
        if (fds[0].revents) {
            std::uint64_t count;
            [[maybe_unused]] const ssize_t n = read(wakeFd_, &count, sizeof count);
        }
        {
            std::lock_guard<std::mutex> hold(outcomesMutex_);
            outcomes.swap(outcomes_);
        }
        for (const Outcome& o : outcomes) finish(o.write, o.error);
        outcomes.clear();
        const auto now = Clock::now();
        for (auto it = pending_.begin(); it != pending_.end();) {
            const auto here = it++;
            if (here->second.deadline <= now) {
                here->second.left = 0;
                finish(here->first, MODBUS_TARGET_FAILED);
            }
        }
        // The clients polled above are the first ones of clients_ (new ones
        // are appended by accept, below).
        const std::size_t polled = fds.size() - 2;
        std::vector<std::uint64_t> closing;
        for (std::size_t i = 0; i < polled; ++i) {
            Client& c = clients_[i];
            const short got = fds[i + 2].revents;
            bool open = !(got & (POLLERR | POLLNVAL));
            if (open && (got & (POLLIN | POLLHUP))) open = receive(c);
            if (open) open = serve(c);
            if (open) open = flush(c);
            if (open && !c.writing && now - c.active >= idle) open = false;
            if (!open) closing.push_back(c.serial);
        }
        if (!closing.empty()) {
            std::erase_if(clients_, [&](const Client& c) {
                if (std::find(closing.begin(), closing.end(), c.serial) == closing.end()) {
                    return false;
                }
                close(c.fd);
                return true;
            });
            clientCount_ = clients_.size();
        }
        if (fds[1].revents) accept();
    }
}

int PrintModbusMap(const Settings& settings, bool csv, std::FILE* out) {
    const bool broadcast = settings.useBroadcast();
    const auto found =
        Discover(broadcast, settings.addresses, broadcast ? DISCOVERY_WAIT_MS : LISTED_WAIT_MS);
    std::vector<std::string> addresses;
    for (const auto& f : found) addresses.push_back(f.address);
    const auto answers = kelvo::tools::IdentifyAll(addresses);
    std::vector<UnitDescription> units;
    for (const auto& a : answers) {
        const KelvoModel* model = a ? kelvo_model(a->model) : nullptr;
        if (!model) continue;
        UnitDescription u;
        u.model = model;
        u.unitId = a->unitId;
        u.name = UnitName(*model, a->unitId);
        bool seen = false;
        for (const auto& other : units) seen = seen || other.name == u.name;
        if (!seen) units.push_back(std::move(u));
    }
    std::stable_sort(units.begin(), units.end(), [](const auto& a, const auto& b) {
        return std::make_pair(a.model->code, a.unitId) < std::make_pair(b.model->code, b.unitId);
    });
    ModbusIds ids(settings);
    if (csv) {
        std::fprintf(out,
                     "modbus_id,unit,name,table,address,registers,type,access,point,label,"
                     "engineering_unit\n");
    }
    // CSV fields from the config are quoted, with their quotes doubled.
    auto quoted = [](const std::string& text) {
        std::string q = "\"";
        for (const char ch : text) q += ch == '"' ? std::string("\"\"") : std::string(1, ch);
        return q + "\"";
    };
    for (std::size_t i = 0; i < units.size(); ++i) {
        const UnitDescription& u = units[i];
        const unsigned id = ids.add(u.name, i);
        if (id == 0) continue;
        const UnitSettings& s = settings.unitSettings(u.name);
        const std::string name = settings.topicName(u.name);
        if (!csv) {
            const std::string also = name == u.name ? "" : " (" + name + ")";
            std::fprintf(out, "%sunit ID %u: %s%s\n", i ? "\n" : "", id, u.name.c_str(),
                         also.c_str());
        }
        for (const ModbusRow& r : ModbusRows(*u.model, s)) {
            if (csv) {
                std::fprintf(out, "%u,%s,%s,%s,%u,%u,%s,%s,%s,%s,%s\n", id, u.name.c_str(),
                             quoted(name).c_str(), r.table, r.address, r.registers, r.type,
                             r.access, r.point.c_str(), quoted(r.label).c_str(),
                             quoted(r.unit).c_str());
            } else {
                char line[512];
                std::snprintf(line, sizeof line, "  %-16s %5u%-3s %-7s %-2s %-8s %s%s%s", r.table,
                              r.address, r.registers == 2 ? "+1" : "", r.type, r.access,
                              r.point.c_str(), r.label.c_str(), r.unit.empty() ? "" : " ",
                              r.unit.c_str());
                std::string text = line;
                text.erase(text.find_last_not_of(' ') + 1);
                std::fprintf(out, "%s\n", text.c_str());
            }
        }
    }
    if (units.empty()) std::fprintf(stderr, "kelvo-gateway: no units found\n");
    return units.empty() ? 1 : 0;
}

}  // namespace gateway
