#include "support/net.h"

#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#endif

#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>

namespace kelvotest::net {
namespace {

#if defined(_WIN32)
using Native = SOCKET;
Native native(Sock s) {
    return static_cast<Native>(s);
}
Sock wrap(Native n) {
    return n == INVALID_SOCKET ? BAD_SOCK : static_cast<Sock>(n);
}
using PollFd = WSAPOLLFD;
int pollMany(PollFd* p, std::size_t n, int ms) {
    return ::WSAPoll(p, static_cast<ULONG>(n), ms);
}
bool interrupted() {
    return false;
}
constexpr int SEND_FLAGS = 0;
#else
using Native = int;
Native native(Sock s) {
    return static_cast<Native>(s);
}
Sock wrap(Native n) {
    return n < 0 ? BAD_SOCK : static_cast<Sock>(n);
}
using PollFd = pollfd;
int pollMany(PollFd* p, std::size_t n, int ms) {
    return ::poll(p, n, ms);
}
bool interrupted() {
    return errno == EINTR;
}
// A peer that has gone away must not raise SIGPIPE in the test process.
constexpr int SEND_FLAGS = MSG_NOSIGNAL;
#endif

sockaddr_in endpoint(std::uint32_t address, std::uint16_t port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = address;
    return sa;
}

Sock openBound(int type, const std::string& address, std::uint16_t port, bool reuse) {
    startup();
    const Native n = ::socket(AF_INET, type, 0);
    const Sock s = wrap(n);
    if (s == BAD_SOCK) return BAD_SOCK;
    const int on = 1;
    if (reuse) {
        ::setsockopt(n, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&on), sizeof on);
    }
    const sockaddr_in sa = endpoint(parseAddress(address), port);
    if (::bind(n, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0) {
        close(s);
        return BAD_SOCK;
    }
    return s;
}

}  // namespace

void startup() {
#if defined(_WIN32)
    static std::once_flag once;
    std::call_once(once, [] {
        WSADATA data;
        ::WSAStartup(MAKEWORD(2, 2), &data);
    });
#endif
}

std::uint32_t parseAddress(const std::string& address) {
    return ::inet_addr(address.c_str());
}

Sock listenTcp(const std::string& address, std::uint16_t port) {
    const Sock s = openBound(SOCK_STREAM, address, port, true);
    if (s != BAD_SOCK && ::listen(native(s), 16) != 0) {
        close(s);
        return BAD_SOCK;
    }
    return s;
}

Sock bindUdp(const std::string& address, std::uint16_t port, bool reuseAddress) {
    return openBound(SOCK_DGRAM, address, port, reuseAddress);
}

Sock accept(Sock listener) {
    return wrap(::accept(native(listener), nullptr, nullptr));
}

void close(Sock s) {
    if (s == BAD_SOCK) return;
#if defined(_WIN32)
    ::closesocket(native(s));
#else
    ::close(native(s));
#endif
}

int send(Sock s, const std::uint8_t* data, std::size_t length) {
    for (;;) {
        const auto n = ::send(native(s), reinterpret_cast<const char*>(data),
                              static_cast<int>(length), SEND_FLAGS);
        if (n < 0 && interrupted()) continue;
        return n < 0 ? -1 : static_cast<int>(n);
    }
}

int recv(Sock s, std::uint8_t* buffer, std::size_t capacity) {
    for (;;) {
        const auto n =
            ::recv(native(s), reinterpret_cast<char*>(buffer), static_cast<int>(capacity), 0);
        if (n < 0 && interrupted()) continue;
        return n < 0 ? -1 : static_cast<int>(n);
    }
}

int sendTo(Sock s, const std::uint8_t* data, std::size_t length, std::uint32_t address,
           std::uint16_t port) {
    const sockaddr_in sa = endpoint(address, port);
    const auto n =
        ::sendto(native(s), reinterpret_cast<const char*>(data), static_cast<int>(length),
                 SEND_FLAGS, reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
    return n < 0 ? -1 : static_cast<int>(n);
}

int recvFrom(Sock s, std::uint8_t* buffer, std::size_t capacity, std::uint32_t* address,
             std::uint16_t* port) {
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    const auto n =
        ::recvfrom(native(s), reinterpret_cast<char*>(buffer), static_cast<int>(capacity), 0,
                   reinterpret_cast<sockaddr*>(&sa), &len);
    if (n < 0) return -1;
    *address = sa.sin_addr.s_addr;
    *port = ntohs(sa.sin_port);
    return static_cast<int>(n);
}

Sock openRawUdp() {
    startup();
    const Sock s = wrap(::socket(AF_INET, SOCK_RAW, IPPROTO_UDP));
    const int on = 1;
    if (s != BAD_SOCK && ::setsockopt(native(s), IPPROTO_IP, IP_HDRINCL,
                                      reinterpret_cast<const char*>(&on), sizeof on) != 0) {
        close(s);
        return BAD_SOCK;
    }
    return s;
}

int sendUdpAs(Sock raw, std::uint32_t from, std::uint16_t fromPort, const std::uint8_t* data,
              std::size_t length, std::uint32_t to, std::uint16_t toPort) {
    // IPv4 header (20 bytes) and UDP header (8). The system fills in the
    // total length, identification and header checksum; a UDP checksum of
    // 0 means none.
    constexpr std::size_t IP_HEADER = 20, UDP_HEADER = 8;
    std::vector<std::uint8_t> packet(IP_HEADER + UDP_HEADER + length, 0);
    packet[0] = 0x45;  // version 4, 5 words of header
    packet[8] = 64;    // time to live
    packet[9] = 17;    // UDP
    std::memcpy(&packet[12], &from, 4);
    std::memcpy(&packet[16], &to, 4);
    const std::uint16_t udp[] = {htons(fromPort), htons(toPort),
                                 htons(static_cast<std::uint16_t>(UDP_HEADER + length)), 0};
    std::memcpy(&packet[IP_HEADER], udp, sizeof udp);
    if (length != 0) std::memcpy(&packet[IP_HEADER + UDP_HEADER], data, length);
    const sockaddr_in sa = endpoint(to, toPort);
    const auto n = ::sendto(native(raw), reinterpret_cast<const char*>(packet.data()),
                            static_cast<int>(packet.size()), SEND_FLAGS,
                            reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
    return n < 0 ? -1 : static_cast<int>(length);
}

bool waitReadable(const std::vector<Sock>& socks, std::vector<bool>& readable, int timeoutMs) {
    std::vector<PollFd> fds(socks.size());
    for (std::size_t i = 0; i < socks.size(); ++i) {
        fds[i].fd = native(socks[i]);
        fds[i].events = POLLIN;
        fds[i].revents = 0;
    }
    readable.assign(socks.size(), false);
    if (fds.empty()) {
        // Nothing to watch (a unit that refuses connections and has none):
        // still take the time, so the caller's loop does not spin.
        std::this_thread::sleep_for(std::chrono::milliseconds(timeoutMs));
        return false;
    }
    const int r = pollMany(fds.data(), fds.size(), timeoutMs);
    if (r <= 0) return false;
    for (std::size_t i = 0; i < fds.size(); ++i) {
        readable[i] = (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) != 0;
    }
    return true;
}

}  // namespace kelvotest::net
