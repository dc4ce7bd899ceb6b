// The few socket calls the fake unit and the discovery answerer need, the
// same on Winsock and POSIX. Addresses are dotted text or IPv4 numbers in
// network byte order; ports are in host order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kelvotest::net {

using Sock = std::intptr_t;
inline constexpr Sock BAD_SOCK = -1;

// Starts the socket layer once per process (WSAStartup on Windows).
void startup();

// Dotted text to an IPv4 address in network byte order.
std::uint32_t parseAddress(const std::string& address);

// A listening TCP socket on address:port with SO_REUSEADDR, or BAD_SOCK.
Sock listenTcp(const std::string& address, std::uint16_t port);
// A UDP socket bound to address:port (port 0: any), or BAD_SOCK.
Sock bindUdp(const std::string& address, std::uint16_t port, bool reuseAddress);
Sock accept(Sock listener);
void close(Sock s);

int send(Sock s, const std::uint8_t* data, std::size_t length);  // one send; count or -1
int recv(Sock s, std::uint8_t* buffer, std::size_t capacity);    // count, 0 closed, -1 error
int sendTo(Sock s, const std::uint8_t* data, std::size_t length, std::uint32_t address,
           std::uint16_t port);
int recvFrom(Sock s, std::uint8_t* buffer, std::size_t capacity, std::uint32_t* address,
             std::uint16_t* port);

// A raw IPv4 socket for UDP datagrams whose IP header the caller writes, so
// that they can carry any source address; BAD_SOCK without the right to
// open one.
Sock openRawUdp();
// One datagram from from:fromPort to to:toPort through such a socket.
int sendUdpAs(Sock raw, std::uint32_t from, std::uint16_t fromPort, const std::uint8_t* data,
              std::size_t length, std::uint32_t to, std::uint16_t toPort);

// Waits up to timeoutMs for any of socks to become readable (a closed or
// reset connection counts); readable[i] tells which. Returns false on
// timeout or error.
bool waitReadable(const std::vector<Sock>& socks, std::vector<bool>& readable, int timeoutMs);

}  // namespace kelvotest::net
