// Winsock 2 for the tools (the library itself keeps to Winsock 1.1).
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <winsock2.h>
#include <ws2tcpip.h>

#include "common/net.h"

namespace kelvo::tools::net {
namespace {

// Started once, for the life of the process (WSAStartup counts its callers).
bool Started() {
    static const bool started = [] {
        WSADATA data;
        return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return started;
}

}  // namespace

std::optional<std::uint32_t> ParseIPv4(const std::string& text) {
    if (!Started()) return std::nullopt;
    in_addr a{};
    if (::inet_pton(AF_INET, text.c_str(), &a) != 1) return std::nullopt;
    return a.s_addr;
}

Socket OpenStream() {
    if (!Started()) return NO_SOCKET;
    const SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) return NO_SOCKET;
    u_long on = 1;
    if (::ioctlsocket(s, FIONBIO, &on) != 0) {
        ::closesocket(s);
        return NO_SOCKET;
    }
    return static_cast<Socket>(s);
}

void Close(Socket s) {
    if (s != NO_SOCKET) ::closesocket(static_cast<SOCKET>(s));
}

ConnectStart StartConnect(Socket s, std::uint32_t address, std::uint16_t port) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = address;
    if (::connect(static_cast<SOCKET>(s), reinterpret_cast<sockaddr*>(&to), sizeof to) == 0) {
        return ConnectStart::DONE;
    }
    return ::WSAGetLastError() == WSAEWOULDBLOCK ? ConnectStart::PENDING : ConnectStart::FAILED;
}

bool Connected(Socket s) {
    int error = 0;
    int size = sizeof error;
    return ::getsockopt(static_cast<SOCKET>(s), SOL_SOCKET, SO_ERROR,
                        reinterpret_cast<char*>(&error), &size) == 0 &&
           error == 0;
}

int Send(Socket s, const std::uint8_t* data, std::size_t size) {
    const int n = ::send(static_cast<SOCKET>(s), reinterpret_cast<const char*>(data),
                         static_cast<int>(size), 0);
    return n == SOCKET_ERROR ? -1 : n;
}

int Receive(Socket s, std::uint8_t* data, std::size_t size) {
    const int n =
        ::recv(static_cast<SOCKET>(s), reinterpret_cast<char*>(data), static_cast<int>(size), 0);
    if (n != SOCKET_ERROR) return n;
    return ::WSAGetLastError() == WSAEWOULDBLOCK ? -2 : -1;
}

bool WaitAny(std::vector<Wait>& waits, int ms) {
    std::vector<WSAPOLLFD> fds(waits.size());
    for (std::size_t i = 0; i < waits.size(); ++i) {
        fds[i].fd = static_cast<SOCKET>(waits[i].socket);
        fds[i].events = static_cast<SHORT>(waits[i].forWrite ? POLLWRNORM : POLLRDNORM);
        fds[i].revents = 0;
    }
    if (fds.empty()) {
        ::Sleep(static_cast<DWORD>(ms));
        return true;
    }
    if (::WSAPoll(fds.data(), static_cast<ULONG>(fds.size()), ms) == SOCKET_ERROR) return false;
    for (std::size_t i = 0; i < waits.size(); ++i) waits[i].ready = fds[i].revents != 0;
    return true;
}

bool SetEnvironment(const char* name, const std::string& value) {
    return ::SetEnvironmentVariableA(name, value.c_str()) != 0;
}

}  // namespace kelvo::tools::net
