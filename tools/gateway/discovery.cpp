#include "discovery.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <unordered_map>

namespace gateway {
namespace {

constexpr std::uint16_t DISCOVERY_PORT = 30718;
constexpr std::uint8_t QUERY[4] = {0x00, 0x00, 0x00, 0xF6};
// The answer carries the unit's MAC in bytes 24..29.
constexpr std::size_t MAC_OFFSET = 24;
constexpr std::size_t ANSWER_MAX = 64;
// The same bounds as the library's discovery: a flood of answers can neither
// hold the gateway nor grow its list without end.
constexpr std::size_t MAX_ANSWERS = 4096;
constexpr auto COLLECT_LIMIT = std::chrono::seconds(15);
// Room for that many answers at about a kilobyte each, as the system counts them.
constexpr int RECEIVE_BUFFER = 2 << 20;

struct Socket {
    int fd = -1;
    ~Socket() {
        if (fd >= 0) ::close(fd);
    }
};

bool SendQuery(int fd, const std::string& address) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(DISCOVERY_PORT);
    if (inet_pton(AF_INET, address.c_str(), &to.sin_addr) != 1) return false;
    return sendto(fd, QUERY, sizeof QUERY, 0, reinterpret_cast<sockaddr*>(&to), sizeof to) ==
           static_cast<ssize_t>(sizeof QUERY);
}

}  // namespace

std::string MacText(const std::array<std::uint8_t, 6>& mac) {
    char text[18];
    std::snprintf(text, sizeof text, "%02X-%02X-%02X-%02X-%02X-%02X", mac[0], mac[1], mac[2],
                  mac[3], mac[4], mac[5]);
    return text;
}

std::vector<FoundUnit> Discover(bool broadcast, const std::vector<std::string>& addresses,
                                int waitMs) {
    std::vector<FoundUnit> found;
    for (const auto& a : addresses) {
        if (std::none_of(found.begin(), found.end(),
                         [&](const FoundUnit& f) { return f.address == a; })) {
            found.push_back({a, std::nullopt});
        }
    }
    Socket s;
    s.fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s.fd < 0) return found;
    // Every unit on the segment answers the broadcast at once: a thousand
    // answers overflow the default receive buffer (about 200 KB), and a unit
    // whose answer is dropped waits for the next rescan. Asking for more is
    // best effort (the system caps it at net.core.rmem_max).
    const int buffer = RECEIVE_BUFFER;
    setsockopt(s.fd, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
    if (broadcast) {
        const int on = 1;
        setsockopt(s.fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
        if (!SendQuery(s.fd, "255.255.255.255")) {
            std::perror("kelvo-gateway: discovery query");
        }
    }
    std::size_t unanswered = 0;
    for (const auto& f : found) unanswered += SendQuery(s.fd, f.address) ? 1 : 0;
    if (!broadcast && unanswered == 0) return found;

    // The wait starts afresh after every answer, as the library's does, up
    // to the limits on answers and time.
    std::unordered_map<std::string, std::size_t> index;
    for (std::size_t i = 0; i < found.size(); ++i) index.emplace(found[i].address, i);
    const auto end = std::chrono::steady_clock::now() + COLLECT_LIMIT;
    for (std::size_t answers = 0; answers < MAX_ANSWERS; ++answers) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              end - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0) break;
        pollfd p{s.fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(std::min<long long>(left, waitMs))) <= 0) break;
        std::uint8_t answer[ANSWER_MAX + 1];
        sockaddr_in from{};
        socklen_t fromLength = sizeof from;
        const ssize_t n = recvfrom(s.fd, answer, sizeof answer, 0,
                                   reinterpret_cast<sockaddr*>(&from), &fromLength);
        if (n < 0 || static_cast<std::size_t>(n) > ANSWER_MAX) continue;
        char text[INET_ADDRSTRLEN];
        inet_ntop(AF_INET, &from.sin_addr, text, sizeof text);
        auto it = index.find(text);
        if (it == index.end()) {
            if (!broadcast) continue;
            it = index.emplace(text, found.size()).first;
            found.push_back({text, std::nullopt});
        } else if (!found[it->second].mac && unanswered > 0) {
            --unanswered;
        }
        FoundUnit& f = found[it->second];
        if (static_cast<std::size_t>(n) >= MAC_OFFSET + 6) {
            std::array<std::uint8_t, 6> mac;
            std::copy_n(answer + MAC_OFFSET, 6, mac.begin());
            f.mac = mac;
        }
        if (!broadcast && unanswered == 0) break;
    }
    return found;
}

}  // namespace gateway
