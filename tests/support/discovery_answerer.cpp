#include <atomic>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "support/fake_unit.h"
#include "support/net.h"

namespace kelvotest {
namespace {

constexpr std::uint16_t DISCOVERY_PORT = 30718;

#if defined(_WIN32)
// Wine binds a UDP socket asked for 127.0.0.x (x != 1) to every address, so
// its datagrams leave from 127.0.0.1 and the library would see every unit
// there. The answers therefore go out through a raw socket that writes its
// own IP header, when the process may open one.
constexpr bool ANSWER_THROUGH_RAW_SOCKET = true;
#else
constexpr bool ANSWER_THROUGH_RAW_SOCKET = false;
#endif

struct Answer {
    net::Sock from;  // bound to the unit's address; BAD_SOCK when sent raw
    std::uint32_t fromAddress;
    Bytes bytes;
    int times;
};

}  // namespace

struct DiscoveryAnswerer::State {
    mutable std::mutex m;
    net::Sock sock = net::BAD_SOCK;
    net::Sock raw = net::BAD_SOCK;
    std::vector<Answer> answers;
    std::vector<Bytes> queries;
    std::atomic<bool> stop{false};
    std::thread thread;
    int burst = 0, pauseMs = 10;  // flooding, when burst > 0
    std::uint32_t lastAsker = 0;  // owned by the thread
    std::uint16_t lastPort = 0;

    void answer(const Answer& a, std::uint32_t asker, std::uint16_t port) const {
        if (a.from != net::BAD_SOCK) {
            net::sendTo(a.from, a.bytes.data(), a.bytes.size(), asker, port);
        } else {
            // From the discovery port, as a unit answers.
            net::sendUdpAs(raw, a.fromAddress, DISCOVERY_PORT, a.bytes.data(), a.bytes.size(),
                           asker, port);
        }
    }

    void run() {
        std::uint8_t buffer[2048];
        while (!stop) {
            std::vector<bool> ready;
            if (!net::waitReadable({sock}, ready, pauseMs) || !ready[0]) {
                std::lock_guard lock(m);
                if (burst > 0 && lastPort != 0) {
                    for (const Answer& a : answers) {
                        for (int i = 0; i < burst; ++i) answer(a, lastAsker, lastPort);
                    }
                }
                continue;
            }
            std::uint32_t asker = 0;
            std::uint16_t port = 0;
            const int n = net::recvFrom(sock, buffer, sizeof buffer, &asker, &port);
            if (n < 0) continue;
            std::lock_guard lock(m);
            lastAsker = asker;
            lastPort = port;
            queries.emplace_back(buffer, buffer + n);
            for (const Answer& a : answers) {
                for (int i = 0; i < a.times; ++i) answer(a, asker, port);
            }
        }
    }
};

DiscoveryAnswerer::DiscoveryAnswerer() : state_(std::make_unique<State>()) {
    state_->sock = net::bindUdp("0.0.0.0", DISCOVERY_PORT, true);
    if (state_->sock == net::BAD_SOCK) {
        throw std::runtime_error("discovery answerer cannot bind UDP port 30718");
    }
    if (ANSWER_THROUGH_RAW_SOCKET) state_->raw = net::openRawUdp();
    state_->thread = std::thread([s = state_.get()] { s->run(); });
}

DiscoveryAnswerer::~DiscoveryAnswerer() {
    state_->stop = true;
    state_->thread.join();
    net::close(state_->sock);
    net::close(state_->raw);
    for (const Answer& a : state_->answers) net::close(a.from);
}

void DiscoveryAnswerer::add(std::string fromAddress, Bytes answer, int times) {
    net::Sock from = net::BAD_SOCK;
    if (state_->raw == net::BAD_SOCK) {
        from = net::bindUdp(fromAddress, 0, false);
        if (from == net::BAD_SOCK) {
            throw std::runtime_error("discovery answerer cannot send from " + fromAddress);
        }
    }
    std::lock_guard lock(state_->m);
    state_->answers.push_back({from, net::parseAddress(fromAddress), std::move(answer), times});
}

void DiscoveryAnswerer::flood(int burst, int pauseMs) {
    std::lock_guard lock(state_->m);
    state_->burst = burst;
    state_->pauseMs = pauseMs;
}

int DiscoveryAnswerer::queriesReceived() const {
    std::lock_guard lock(state_->m);
    return static_cast<int>(state_->queries.size());
}

std::vector<Bytes> DiscoveryAnswerer::queries() const {
    std::lock_guard lock(state_->m);
    return state_->queries;
}

Bytes discoveryAnswer(std::array<std::uint8_t, 6> mac, std::size_t length) {
    Bytes b(length, 0);
    for (std::size_t i = 0; i < mac.size() && 24 + i < length; ++i) b[24 + i] = mac[i];
    return b;
}

}  // namespace kelvotest
