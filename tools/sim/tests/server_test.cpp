// The event loop on loopback: framing of requests that arrive in pieces or
// with unexpected lengths, fault injection, unicast discovery answers, the
// control channel, and clients that never read or find no descriptor left.
// Every unit lives on 127.0.77.x so that these tests do not meet other
// simulators on the machine; every wait is bounded.
#include "sim/server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <optional>
#include <thread>

#include "sim/config.h"

namespace sim {
namespace {

using namespace kelvo;
using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

constexpr int REPLY_WAIT_MS = 1000;

sockaddr_in address(const char* ip, std::uint16_t port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    ::inet_pton(AF_INET, ip, &sa.sin_addr);
    return sa;
}

// Waits up to `ms` for the socket to become readable, then receives once:
// nullopt on time-out, an empty vector when the peer closed.
std::optional<Bytes> receiveOnce(int fd, int ms) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, ms) <= 0) return std::nullopt;
    Bytes buffer(512);
    const ssize_t n = ::recv(fd, buffer.data(), buffer.size(), 0);
    buffer.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    return buffer;
}

class Client {
  public:
    explicit Client(const char* ip) : fd_(::socket(AF_INET, SOCK_STREAM, 0)) {
        const sockaddr_in sa = address(ip, COMMAND_PORT);
        connected_ = ::connect(fd_, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0;
        const int on = 1;
        ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    }
    ~Client() { ::close(fd_); }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    bool connected() const { return connected_; }
    int fd() const { return fd_; }
    void send(const std::uint8_t* data, std::size_t size) {
        ASSERT_EQ(::send(fd_, data, size, MSG_NOSIGNAL), static_cast<ssize_t>(size));
    }
    void send(const CommandFrame& f, std::size_t size) { send(f.data(), size); }
    std::optional<Bytes> receive(int ms = REPLY_WAIT_MS) { return receiveOnce(fd_, ms); }
    // One exchange; an empty vector if no reply came.
    Bytes exchange(const CommandFrame& f, std::size_t size) {
        send(f, size);
        return receive().value_or(Bytes{});
    }

  private:
    int fd_;
    bool connected_ = false;
};

CommandFrame request(std::uint8_t command, std::uint8_t seq, std::uint8_t selector = 0,
                     std::uint8_t length = 0) {
    CommandFrame f{};
    f[0] = command;
    f[2] = seq;
    f[3] = selector;
    f[4] = length;
    return f;
}

class SimServer {
  public:
    explicit SimServer(std::vector<std::string> units, std::vector<std::string> faults = {},
                       std::string controlPath = {},
                       Nanos stallTimeout = ServerOptions{}.stallTimeout) {
        ServerOptions options;
        std::vector<UnitDescription> descriptions;
        for (const auto& u : units) descriptions.push_back(parseUnit(u));
        options.units = planUnits(descriptions, false, 0, 0x7F004D02);
        for (const auto& f : faults) options.faults.push_back(parseFaultRule(f));
        options.broadcastDiscovery = false;  // unicast answers only
        options.controlPath = std::move(controlPath);
        options.stallTimeout = stallTimeout;
        server_ = std::make_unique<Server>(options);
        server_->bind();
        thread_ = std::thread([this] { server_->run(); });
    }
    ~SimServer() {
        server_->stop();
        thread_.join();
    }
    SimServer(const SimServer&) = delete;
    SimServer& operator=(const SimServer&) = delete;

    std::uint64_t exchanges() const { return server_->exchanges(); }
    const ServerStats& stats() const { return server_->stats(); }

  private:
    std::unique_ptr<Server> server_;
    std::thread thread_;
};

TEST(SimServer, RequestsInPiecesAndOfOddLengthsStayInStep) {
    SimServer sim({"KV-103:1@127.0.77.2", "KV-110:1@127.0.77.3"});
    Client digital("127.0.77.2");
    ASSERT_TRUE(digital.connected());

    // An identification request in three pieces gets one reply.
    const CommandFrame info = request(CMD_INFO, 0);
    digital.send(info.data(), 3);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    digital.send(info.data() + 3, 2);
    EXPECT_FALSE(digital.receive(30).has_value());
    digital.send(info.data() + 5, 3);
    Bytes r = digital.receive().value_or(Bytes{});
    ASSERT_EQ(r.size(), 25u);
    EXPECT_EQ(r[0], 0x92);
    EXPECT_EQ(r[16], 3);
    EXPECT_EQ(r[18], 1);

    // A port write in two pieces, then the image reads it back.
    CommandFrame w = request(CMD_WRITE, 1, 0xFF);
    w[9] = 0xFF;
    w[17] = 0xC3;
    digital.send(w.data(), 10);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    digital.send(w.data() + 10, 14);
    r = digital.receive().value_or(Bytes{});
    ASSERT_EQ(r.size(), 8u);
    EXPECT_EQ(r[0], 0xA1);
    r = digital.exchange(request(CMD_READ, 2, 0xFF, 8), 8);
    ASSERT_EQ(r.size(), 24u);
    EXPECT_EQ(r[17], 0xC3);

    // An analog mask-mode write (80 bytes) to a digital unit, and an unknown
    // command of 12 bytes: one reply each, and the next exchange is in step.
    r = digital.exchange(request(CMD_WRITE, 3, 0xFF), 80);
    ASSERT_EQ(r.size(), 8u);
    EXPECT_EQ(r[1], 0);
    r = digital.exchange(request(0x55, 4), 12);
    ASSERT_EQ(r.size(), 8u);
    EXPECT_EQ(r[1], UNIT_STATUS_UNKNOWN_COMMAND);
    r = digital.exchange(request(CMD_READ, 5, 0xFF, 8), 8);
    ASSERT_EQ(r.size(), 24u);
    EXPECT_EQ(r[2], 5);
    EXPECT_FALSE(digital.receive(50).has_value());

    // On an analog unit the 80-byte write is one request; a 24-byte port
    // write is taken as such after a short wait for more.
    Client analog("127.0.77.3");
    CommandFrame m = request(CMD_WRITE, 6, 0xFF);
    putLE32(&m[8], 0x4);
    putLE32(&m[16 + 8], 0x0ABC);
    r = analog.exchange(m, 80);
    ASSERT_EQ(r.size(), 8u);
    EXPECT_EQ(r[2], 6);
    const auto t0 = Clock::now();
    r = analog.exchange(request(CMD_WRITE, 7, 0xFF), 24);
    ASSERT_EQ(r.size(), 8u);
    EXPECT_EQ(r[2], 7);
    EXPECT_GE(Clock::now() - t0, std::chrono::milliseconds(40));
    r = analog.exchange(request(CMD_READ, 8, 0xFF, 240), 8);
    ASSERT_EQ(r.size(), 256u);
    EXPECT_EQ(getLE32(&r[16 + 8]), 0x0ABCu);
}

TEST(SimServer, FaultsHitCommandsButNotIdentification) {
    SimServer sim({"KV-101:1@127.0.77.5", "KV-101:2@127.0.77.6", "KV-101:3@127.0.77.7",
                   "KV-112:1@127.0.77.8", "KV-101:5@127.0.77.9"},
                  {"127.0.77.5=delay:200,times=1", "127.0.77.6=drop", "KV-101:3=seq,times=1",
                   "127.0.77.8=status:9,cmd=0x21", "127.0.77.9=close,times=1"});
    const CommandFrame read = request(CMD_READ, 1, 0xFF, 8);

    Client delayed("127.0.77.5");
    auto t0 = Clock::now();
    EXPECT_EQ(delayed.exchange(read, 8).size(), 24u);
    EXPECT_GE(Clock::now() - t0, std::chrono::milliseconds(190));
    t0 = Clock::now();
    EXPECT_EQ(delayed.exchange(read, 8).size(), 24u);
    EXPECT_LT(Clock::now() - t0, std::chrono::milliseconds(150));

    // Dropped: every command, the version request included, but never the
    // identification that discovery depends on.
    Client dropped("127.0.77.6");
    EXPECT_EQ(dropped.exchange(request(CMD_INFO, 0), 8).size(), 25u);
    dropped.send(read, 8);
    EXPECT_FALSE(dropped.receive(200).has_value());
    dropped.send(request(CMD_INFO, 2, 0, INFO_VERSION), 8);
    EXPECT_FALSE(dropped.receive(200).has_value());

    Client wrongSeq("127.0.77.7");
    Bytes r = wrongSeq.exchange(read, 8);
    ASSERT_GE(r.size(), 3u);
    EXPECT_EQ(r[2], 2);
    EXPECT_EQ(wrongSeq.exchange(read, 8).at(2), 1);

    // A refused write changes nothing; reads are not affected by the rule.
    Client refused("127.0.77.8");
    CommandFrame w = request(CMD_WRITE, 3, 0xFF);
    w[8] = 0xFF;
    w[16] = 0x42;
    r = refused.exchange(w, 24);
    ASSERT_EQ(r.size(), 8u);
    EXPECT_EQ(r[0], 0xA1);
    EXPECT_EQ(r[1], 9);
    r = refused.exchange(read, 8);
    ASSERT_EQ(r.size(), 24u);
    EXPECT_EQ(r[16], 0);

    Client closing("127.0.77.9");
    closing.send(read, 8);
    EXPECT_EQ(closing.receive(), Bytes{});
    Client again("127.0.77.9");
    EXPECT_EQ(again.exchange(read, 8).size(), 24u);
}

TEST(SimServer, RestartDropsConnectionsAndListensAgain) {
    SimServer sim({"KV-111:1@127.0.77.10"}, {"*=restart:300,times=1,cmd=0x11"});
    Client first("127.0.77.10");
    Client second("127.0.77.10");
    ASSERT_EQ(second.exchange(request(CMD_INFO, 0), 8).size(), 25u);
    const auto t0 = Clock::now();
    first.send(request(CMD_READ, 0, 0, 2), 8);
    EXPECT_EQ(first.receive(), Bytes{});
    EXPECT_EQ(second.receive(), Bytes{});
    EXPECT_FALSE(Client("127.0.77.10").connected());

    bool back = false;
    for (int i = 0; i < 60 && !back; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        Client retry("127.0.77.10");
        back = retry.connected() && retry.exchange(request(CMD_READ, 1, 0, 2), 8).size() == 18u;
    }
    EXPECT_TRUE(back);
    EXPECT_GE(Clock::now() - t0, std::chrono::milliseconds(250));
}

TEST(SimServer, AnswersUnicastDiscoveryQueriesFromTheUnitsAddress) {
    SimServer sim({"KV-119:4@127.0.77.11,aux=2,mac=02-00-00-00-12-34", "KV-101:1@127.0.77.12"});
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    const sockaddr_in to = address("127.0.77.11", DISCOVERY_PORT);
    ASSERT_EQ(::sendto(fd, DISCOVERY_QUERY.data(), DISCOVERY_QUERY.size(), 0,
                       reinterpret_cast<const sockaddr*>(&to), sizeof to),
              4);
    pollfd p{fd, POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, REPLY_WAIT_MS), 1);
    std::uint8_t answer[128];
    sockaddr_in from{};
    socklen_t len = sizeof from;
    const ssize_t n =
        ::recvfrom(fd, answer, sizeof answer, 0, reinterpret_cast<sockaddr*>(&from), &len);
    ASSERT_EQ(n, 30);
    EXPECT_EQ(ntohl(from.sin_addr.s_addr), 0x7F004D0Bu);
    EXPECT_EQ(ntohs(from.sin_port), DISCOVERY_PORT);
    EXPECT_EQ(answer[3], 0xF7);
    EXPECT_EQ(answer[8], 19);
    EXPECT_EQ(answer[9], 2);
    EXPECT_EQ(answer[10], 4);
    EXPECT_EQ(Mac({answer[24], answer[25], answer[26], answer[27], answer[28], answer[29]}),
              (Mac{0x02, 0x00, 0x00, 0x00, 0x12, 0x34}));
    EXPECT_FALSE(receiveOnce(fd, 100).has_value());  // only the unit asked answers

    const std::uint8_t other[4] = {0x00, 0x00, 0x00, 0xF5};
    ::sendto(fd, other, sizeof other, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    EXPECT_FALSE(receiveOnce(fd, 200).has_value());
    ::close(fd);
}

TEST(SimServer, ServesExchangesWithoutStalls) {
    SimServer sim({"KV-109:1@127.0.77.13"});
    Client client("127.0.77.13");
    constexpr int EXCHANGES = 2000;
    const auto t0 = Clock::now();
    int good = 0;
    for (int i = 0; i < EXCHANGES && Clock::now() - t0 < std::chrono::seconds(20); ++i) {
        const auto seq = static_cast<std::uint8_t>(i);
        const Bytes r = client.exchange(request(CMD_READ, seq, 0xFF, 240), 8);
        good += r.size() == 256 && r[2] == seq ? 1 : 0;
    }
    EXPECT_EQ(good, EXCHANGES);
    // A 40 ms stall per exchange (Nagle against delayed ACKs) would take 80 s.
    EXPECT_LT(Clock::now() - t0, std::chrono::seconds(10));
    EXPECT_EQ(sim.exchanges(), static_cast<std::uint64_t>(EXCHANGES));
}

sockaddr_un unixAddress(const std::string& path) {
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    path.copy(sa.sun_path, sizeof sa.sun_path - 1);
    return sa;
}

// A control-channel client: one line out, one reply line back.
class Control {
  public:
    explicit Control(const std::string& path) : fd_(::socket(AF_UNIX, SOCK_STREAM, 0)) {
        const sockaddr_un sa = unixAddress(path);
        connected_ = ::connect(fd_, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0;
    }
    ~Control() { ::close(fd_); }
    Control(const Control&) = delete;
    Control& operator=(const Control&) = delete;

    bool connected() const { return connected_; }
    int fd() const { return fd_; }
    std::string operator()(const std::string& line) {
        const std::string out = line + "\n";
        if (::send(fd_, out.data(), out.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(out.size())) {
            return "send failed";
        }
        std::string reply;
        while (!reply.ends_with('\n')) {
            const auto chunk = receiveOnce(fd_, REPLY_WAIT_MS);
            if (!chunk || chunk->empty()) return "no reply: " + reply;
            reply.append(chunk->begin(), chunk->end());
        }
        reply.pop_back();
        return reply;
    }

  private:
    int fd_;
    bool connected_ = false;
};

TEST(SimServer, ControlChannelSteersInputsFaultsAndAvailability) {
    char dir[] = "/tmp/kelvo-sim-control-XXXXXX";
    ASSERT_NE(::mkdtemp(dir), nullptr);
    const std::string path = std::string(dir) + "/control";
    {
        SimServer sim({"KV-117:1@127.0.77.20", "KV-119:1@127.0.77.21", "KV-111:1@127.0.77.22"}, {},
                      path);
        Control control(path);
        ASSERT_TRUE(control.connected());
        EXPECT_EQ(control("ping"), "ok");

        // Input ports, an analog value before its gain, a counter: as a client reads them.
        EXPECT_EQ(control("set KV-117:1 di 1 0x5A"), "ok");
        EXPECT_EQ(control("set 127.0.77.20 do 3 7"), "ok");
        Client dio("127.0.77.20");
        Bytes r = dio.exchange(request(CMD_READ, 1, 0xFF, 4), 8);
        ASSERT_EQ(r.size(), 20u);
        EXPECT_EQ(Bytes(r.begin() + 16, r.end()), (Bytes{0, 0x5A, 0, 7}));
        EXPECT_EQ(control("set KV-119:1 ai 3 -1234"), "ok");
        Client ai("127.0.77.21");
        r = ai.exchange(request(CMD_READ, 2, 3, 2), 8);
        ASSERT_EQ(r.size(), 18u);
        EXPECT_EQ(getLE16(&r[16]), 0x10000 - 1234);
        EXPECT_EQ(control("set KV-111:1 cnt 1 65535"), "ok");
        Client cnt("127.0.77.22");
        r = cnt.exchange(request(CMD_READ, 3, 1, 2), 8);
        ASSERT_EQ(r.size(), 18u);
        EXPECT_EQ(getLE16(&r[16]), 0xFFFF);
        const std::string state = control("state KV-117:1");
        EXPECT_TRUE(state.starts_with(R"(ok {"model":"KV-117","unitId":1,"address":"127.0.77.20")"))
            << state;
        EXPECT_NE(state.find(R"("ports":[0,90,0,7])"), std::string::npos) << state;

        // Refusals name what is wrong and change nothing.
        for (const char* bad :
             {"set KV-117:1 di 2 1", "set KV-117:1 do 1 1", "set KV-119:1 ai 16 0",
              "set KV-119:1 ai 0 32768", "set KV-111:1 di 0 1", "set KV-109:1 ai 0 1",
              "wave KV-119:1 ai 0 noise", "fault add KV-101:1=drop", "fault clear 9", "nonsense",
              "set KV-117:1 di 1"}) {
            EXPECT_TRUE(control(bad).starts_with("error ")) << bad;
        }
        EXPECT_EQ(control("state 127.0.77.20"), state);

        // A fault rule added at run time, then removed by its number.
        EXPECT_EQ(control("fault add KV-117:1=drop"), "ok 1");
        dio.send(request(CMD_READ, 4, 0xFF, 4), 8);
        EXPECT_FALSE(dio.receive(200).has_value());
        EXPECT_EQ(control("fault clear 1"), "ok");
        EXPECT_EQ(Client("127.0.77.20").exchange(request(CMD_READ, 5, 0xFF, 4), 8).size(), 20u);

        // Down: connections dropped, nothing listens until up.
        EXPECT_EQ(control("down 127.0.77.21"), "ok");
        EXPECT_EQ(ai.receive(), Bytes{});
        EXPECT_FALSE(Client("127.0.77.21").connected());
        EXPECT_TRUE(control("state KV-119:1").find(R"("up":false)") != std::string::npos);
        EXPECT_EQ(control("up KV-119:1"), "ok");
        Client back("127.0.77.21");
        EXPECT_EQ(back.exchange(request(CMD_READ, 6, 3, 2), 8).size(), 18u);
    }
    // The socket goes away with the simulator.
    EXPECT_NE(::access(path.c_str(), F_OK), 0);
    ::rmdir(dir);
}

// Writes `pattern` again and again without reading a byte, until the socket
// takes nothing for a second, fails, or 32 MiB have gone: the bytes written.
std::size_t flood(int fd, const std::string& pattern) {
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    std::size_t total = 0;
    while (total < 32 * 1024 * 1024) {
        const ssize_t n = ::send(fd, pattern.data(), pattern.size(), MSG_NOSIGNAL);
        if (n > 0) {
            total += static_cast<std::size_t>(n);
            continue;
        }
        pollfd p{fd, POLLOUT, 0};
        if (errno != EAGAIN || ::poll(&p, 1, 1000) <= 0) break;
    }
    return total;
}

TEST(SimServer, ClientsThatNeverReadOrNeverEndALineAreBoundedAndClosed) {
    char dir[] = "/tmp/kelvo-sim-control-XXXXXX";
    ASSERT_NE(::mkdtemp(dir), nullptr);
    const std::string path = std::string(dir) + "/control";
    {
        const mode_t umask = ::umask(0);
        SimServer sim({"KV-109:1@127.0.77.30"}, {}, path, 300 * NANOS_PER_MS);
        ::umask(umask);
        struct stat st {};
        ASSERT_EQ(::stat(path.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0600u);  // even under umask 000

        // A control client and a unit client that send requests and never
        // read a reply: what waits for each stops at the limit.
        Control control(path);
        Client unit("127.0.77.30");
        std::string lines;
        std::string reads;
        for (int i = 0; i < 64; ++i) {
            lines += "state KV-109:1\n";
            reads.append(reinterpret_cast<const char*>(request(CMD_READ, 0, 0xFF, 240).data()), 8);
        }
        EXPECT_GT(flood(control.fd(), lines), 0u);
        EXPECT_GT(flood(unit.fd(), reads), 0u);
        EXPECT_GE(sim.stats().peakQueued, OUTPUT_LIMIT);
        EXPECT_LT(sim.stats().peakQueued, OUTPUT_LIMIT + 4096);

        // Others are served meanwhile; the two are closed once they have
        // taken nothing for the stall time.
        EXPECT_EQ(Control(path)("ping"), "ok");
        EXPECT_EQ(Client("127.0.77.30").exchange(request(CMD_INFO, 0), 8).size(), 25u);
        for (int i = 0; i < 100 && sim.stats().stallClosed < 2; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        EXPECT_EQ(sim.stats().stallClosed, 2u);

        // A line that never ends is cut off after the line limit.
        Control endless(path);
        EXPECT_LT(flood(endless.fd(), std::string(1000, 'x')), std::size_t{1024 * 1024});
        EXPECT_EQ(receiveOnce(endless.fd(), REPLY_WAIT_MS), Bytes{});

        // One client more than the limit is told so and closed.
        std::vector<std::unique_ptr<Control>> clients;
        for (std::size_t i = 0; i < CONTROL_CLIENT_LIMIT; ++i) {
            clients.push_back(std::make_unique<Control>(path));
            ASSERT_EQ((*clients.back())("ping"), "ok") << i;
        }
        Control surplus(path);
        const std::string told = "error too many control clients (32)\n";
        EXPECT_EQ(receiveOnce(surplus.fd(), REPLY_WAIT_MS), Bytes(told.begin(), told.end()));
        EXPECT_EQ(receiveOnce(surplus.fd(), REPLY_WAIT_MS), Bytes{});
    }
    ::rmdir(dir);
}

TEST(SimServer, OutOfDescriptorsNewConnectionsAreClosedWithoutSpinning) {
    char dir[] = "/tmp/kelvo-sim-control-XXXXXX";
    ASSERT_NE(::mkdtemp(dir), nullptr);
    const std::string path = std::string(dir) + "/control";
    {
        SimServer sim({"KV-101:1@127.0.77.31"}, {}, path);
        rlimit saved{};
        ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
        rlimit low = saved;
        low.rlim_cur = 256;
        ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
        // Every descriptor taken but the two for the clients below.
        std::vector<int> taken;
        for (int fd; taken.size() < 512 && (fd = ::open("/dev/null", O_RDONLY)) >= 0;) {
            taken.push_back(fd);
        }
        for (int i = 0; i < 2 && !taken.empty(); ++i) {
            ::close(taken.back());
            taken.pop_back();
        }
        // Both sockets first: the server takes its descriptors from the
        // same table.
        const int unit = ::socket(AF_INET, SOCK_STREAM, 0);
        const int control = ::socket(AF_UNIX, SOCK_STREAM, 0);
        const sockaddr_in unitAddress = address("127.0.77.31", COMMAND_PORT);
        const sockaddr_un controlAddress = unixAddress(path);
        EXPECT_EQ(
            ::connect(unit, reinterpret_cast<const sockaddr*>(&unitAddress), sizeof unitAddress),
            0);
        EXPECT_EQ(::connect(control, reinterpret_cast<const sockaddr*>(&controlAddress),
                            sizeof controlAddress),
                  0);
        // Connected through the backlog, then closed by the server, which
        // has no descriptor to serve them with, and then rests.
        EXPECT_EQ(receiveOnce(unit, REPLY_WAIT_MS), Bytes{});
        EXPECT_EQ(receiveOnce(control, REPLY_WAIT_MS), Bytes{});
        const std::uint64_t rounds = sim.stats().rounds;
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        EXPECT_LT(sim.stats().rounds - rounds, 50u);
        EXPECT_GE(sim.stats().turnedAway, 2u);
        ::close(unit);
        ::close(control);
        for (int fd : taken) ::close(fd);
        ::setrlimit(RLIMIT_NOFILE, &saved);
        // With descriptors to spare, both are served again.
        EXPECT_EQ(Client("127.0.77.31").exchange(request(CMD_INFO, 0), 8).size(), 25u);
        EXPECT_EQ(Control(path)("ping"), "ok");
    }
    ::rmdir(dir);
}

}  // namespace
}  // namespace sim
