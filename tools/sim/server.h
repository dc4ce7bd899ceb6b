// The simulator's network side: one thread, one poll() loop over
// non-blocking sockets. Each unit listens on its own address (TCP, command
// port) and owns a UDP socket on that address from which it answers discovery
// queries; these per-unit sockets are gathered in one epoll set that the loop
// polls as a single descriptor. One UDP socket on the wildcard address
// receives broadcast queries. Reply delays and downtimes are timers of the
// loop.
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "sim/faults.h"
#include "sim/model.h"

namespace sim {

struct ServerOptions {
    std::vector<Identity> units;
    std::size_t memorySize = DEFAULT_MEMORY_SIZE;
    std::vector<FaultRule> faults;
    RandomFaults randomFaults;
    std::uint64_t seed = 1;
    bool faultIdentification = false;  // faults apply to CMD_INFO identification too
    bool discovery = true;             // answer discovery queries at all
    bool broadcastDiscovery = true;    // bind the wildcard socket for broadcasts
    std::uint16_t commandPort = kelvo::COMMAND_PORT;
    std::uint16_t discoveryPort = kelvo::DISCOVERY_PORT;
    bool verbose = false;
    // One line per command exchange, written before anything is sent back
    // (see the README); null for none. Owned by the caller.
    std::FILE* exchangeLog = nullptr;
    // Analog inputs follow the preset waveforms instead of holding values.
    bool analogWaves = false;
    // Path of the Unix socket of the control channel; empty for none.
    std::string controlPath;
    // A client (unit connection or control client) with replies waiting that
    // takes none of them for this long is closed.
    Nanos stallTimeout = 10 * NANOS_PER_SECOND;
};

// Reply bytes queued for one client (unit connection or control client)
// beyond what its socket took. At this much, the simulator reads no more of
// that client's requests until the client has read some replies.
inline constexpr std::size_t OUTPUT_LIMIT = 64 * 1024;
// Control clients at a time; one more is told so and closed.
inline constexpr std::size_t CONTROL_CLIENT_LIMIT = 32;
// The longest control line; a client whose line goes on is closed.
inline constexpr std::size_t CONTROL_LINE_LIMIT = 4096;
// Out of descriptors with no spare one to turn a connection away with, the
// loop leaves its listeners alone for this long instead of retrying at once.
inline constexpr Nanos ACCEPT_BACKOFF = 100 * NANOS_PER_MS;

// What the loop has done, readable from any thread.
struct ServerStats {
    std::atomic<std::uint64_t> rounds{0};       // poll() rounds of the loop
    std::atomic<std::size_t> peakQueued{0};     // largest reply queue of one client, bytes
    std::atomic<std::uint64_t> stallClosed{0};  // clients closed for not taking their replies
    std::atomic<std::uint64_t> turnedAway{0};   // connections closed at once: no descriptor
                                                // or too many control clients
};

// How long a CMD_WRITE with selector 0xFF to an analog unit waits for the
// rest of an 80-byte request once 24 bytes are there, before it is taken as a
// 24-byte port write.
inline constexpr Nanos SHORT_WRITE_WAIT = 50 * NANOS_PER_MS;

class Server {
  public:
    explicit Server(ServerOptions options);
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Binds every socket; throws std::runtime_error naming the one that failed.
    void bind();
    // Serves until stop() is called.
    void run();
    // Safe from a signal handler and from another thread.
    void stop();

    std::size_t unitCount() const { return slots_.size(); }
    std::uint64_t exchanges() const { return exchanges_; }
    const ServerStats& stats() const { return stats_; }

    // Carries out one control-channel command line (see the README) and
    // returns its reply line without the line end. Runs on the loop's thread.
    std::string control(std::string_view line);

  private:
    struct Slot {
        Unit unit;
        std::string name;  // "127.0.0.2 KV-103:1"
        int listenFd = -1;
        int udpFd = -1;
        bool down = false;  // restarting or held down: no listener, no discovery answers
        bool held = false;  // held down by the control channel until "up"
        std::vector<FaultState> faults;
    };
    // Reply bytes a client's socket did not take yet.
    struct Outbox {
        std::string bytes;
        Nanos lastProgress = 0;  // when the socket last took bytes, or the queue began
        bool watched = false;    // a stall timer is pending
    };
    struct Connection;
    struct Timer;
    struct ControlClient {
        int fd = -1;
        std::string in;
        Outbox out;
    };

    Nanos now() const;
    void log(const std::string& line) const;
    void logFrame(const Slot& slot, std::uint64_t conn, const char* dir, const std::uint8_t* data,
                  std::size_t size) const;

    void openListener(std::size_t slot);
    void openUnitSocket(std::size_t slot);
    void serveUnitSockets();
    void acceptAll(std::size_t slot);
    void readConnection(std::uint64_t id);
    void processInput(std::uint64_t id);
    void exchange(std::uint64_t id, const std::uint8_t* request, std::size_t size);
    void logExchange(const Slot& slot, const std::uint8_t* request, const FaultPlan& plan);
    void sendReply(std::uint64_t id, const Reply& reply);
    void flushOutput(std::uint64_t id);
    void closeConnection(std::uint64_t id, const char* why);
    void takeDown(std::size_t slot, const char* why);
    void restartUnit(std::size_t slot, std::uint32_t downtimeMs);
    void runTimers();
    int acceptOne(int listenFd, sockaddr_in* peer);
    void queue(std::uint64_t id, Outbox& box, const char* data, std::size_t size);
    bool flush(int fd, Outbox& box);
    void checkStall(std::uint64_t id);
    void answerDiscovery(int fd, bool broadcast, std::size_t unicastSlot);

    void openControl();
    void acceptControl();
    void readControl(std::uint64_t id);
    void runControl(std::uint64_t id);
    void flushControl(std::uint64_t id);
    void closeControl(std::uint64_t id);

    // control.cpp
    std::string controlCommand(const std::vector<std::string_view>& words);
    std::size_t findSlot(std::string_view unit) const;
    std::string unitState(std::size_t slot);
    std::uint32_t addFault(std::string_view rule);
    std::string clearFaults(const std::vector<std::string_view>& words);
    void holdDown(std::size_t slot, bool down);

    ServerOptions options_;
    std::vector<std::unique_ptr<Slot>> slots_;
    std::map<std::uint64_t, Connection> connections_;
    std::multimap<Nanos, Timer> timers_;
    std::map<std::uint64_t, ControlClient> controlClients_;
    int controlFd_ = -1;
    // Held open so that, out of descriptors, a waiting connection can still
    // be accepted and closed instead of being reported ready again and again.
    int spareFd_ = -1;
    Nanos acceptPausedUntil_ = 0;
    Nanos lastTurnAwayLog_ = -NANOS_PER_SECOND;
    ServerStats stats_;
    std::uint32_t nextFaultId_ = 1;
    std::uint64_t nextConnection_ = 1;
    std::uint64_t exchanges_ = 0;
    int discoveryFd_ = -1;
    int epollFd_ = -1;
    int wakePipe_[2] = {-1, -1};
    std::atomic<bool> stopping_{false};
    Rng rng_;
    std::int64_t epoch_;
};

}  // namespace sim
