#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "common/net.h"

namespace kelvo::tools::net {

std::optional<std::uint32_t> ParseIPv4(const std::string& text) {
    in_addr a{};
    if (inet_pton(AF_INET, text.c_str(), &a) != 1) return std::nullopt;
    return a.s_addr;
}

Socket OpenStream() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    return fd < 0 ? NO_SOCKET : fd;
}

void Close(Socket s) {
    if (s != NO_SOCKET) ::close(static_cast<int>(s));
}

ConnectStart StartConnect(Socket s, std::uint32_t address, std::uint16_t port) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = address;
    if (::connect(static_cast<int>(s), reinterpret_cast<sockaddr*>(&to), sizeof to) == 0) {
        return ConnectStart::DONE;
    }
    return errno == EINPROGRESS ? ConnectStart::PENDING : ConnectStart::FAILED;
}

bool Connected(Socket s) {
    int error = 0;
    socklen_t size = sizeof error;
    return ::getsockopt(static_cast<int>(s), SOL_SOCKET, SO_ERROR, &error, &size) == 0 &&
           error == 0;
}

int Send(Socket s, const std::uint8_t* data, std::size_t size) {
    const ssize_t n = ::send(static_cast<int>(s), data, size, MSG_NOSIGNAL);
    return n < 0 ? -1 : static_cast<int>(n);
}

int Receive(Socket s, std::uint8_t* data, std::size_t size) {
    const ssize_t n = ::recv(static_cast<int>(s), data, size, 0);
    if (n >= 0) return static_cast<int>(n);
    return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? -2 : -1;
}

bool WaitAny(std::vector<Wait>& waits, int ms) {
    std::vector<pollfd> fds(waits.size());
    for (std::size_t i = 0; i < waits.size(); ++i) {
        fds[i] = {static_cast<int>(waits[i].socket),
                  static_cast<short>(waits[i].forWrite ? POLLOUT : POLLIN), 0};
    }
    const int n = ::poll(fds.data(), fds.size(), ms);
    if (n < 0) return errno == EINTR;
    for (std::size_t i = 0; i < waits.size(); ++i) waits[i].ready = fds[i].revents != 0;
    return true;
}

bool SetEnvironment(const char* name, const std::string& value) {
    return ::setenv(name, value.c_str(), 1) == 0;
}

}  // namespace kelvo::tools::net
