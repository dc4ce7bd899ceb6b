// The little the tools need of the operating system besides the library:
// non-blocking TCP sockets waited on together, and the environment variable
// that points the library at a device list. net_posix.cpp and net_win32.cpp
// implement it; the build picks one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kelvo::tools::net {

using Socket = std::intptr_t;
inline constexpr Socket NO_SOCKET = -1;

// A dotted IPv4 address in network byte order, or nothing for other text.
std::optional<std::uint32_t> ParseIPv4(const std::string& text);

// A non-blocking TCP socket, or NO_SOCKET.
Socket OpenStream();
void Close(Socket s);

enum class ConnectStart { DONE, PENDING, FAILED };
ConnectStart StartConnect(Socket s, std::uint32_t address, std::uint16_t port);
// After the socket became writable: did the connect succeed?
bool Connected(Socket s);

// Bytes sent or received; 0 from Receive: the peer closed; -1: failed;
// -2: nothing to receive yet.
int Send(Socket s, const std::uint8_t* data, std::size_t size);
int Receive(Socket s, std::uint8_t* data, std::size_t size);

struct Wait {
    Socket socket = NO_SOCKET;
    bool forWrite = false;  // writable (a connect ended) rather than readable
    bool ready = false;     // set by WaitAny: ready, or failed (the next call tells)
};
// Waits up to ms for any of the sockets; false when the wait itself failed.
bool WaitAny(std::vector<Wait>& waits, int ms);

// Sets an environment variable of this process.
bool SetEnvironment(const char* name, const std::string& value);

}  // namespace kelvo::tools::net
