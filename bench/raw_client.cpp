#include "raw_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

namespace bench {
namespace {
constexpr int REPLY_TIMEOUT_MS = 1500;
constexpr std::uint32_t CHUNK = 248;
}  // namespace

RawClient::~RawClient() {
    if (fd_ >= 0) ::close(fd_);
}

bool RawClient::connect(const char* address, std::uint16_t port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    if (::inet_pton(AF_INET, address, &sa.sin_addr) != 1) return false;
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    return fd_ >= 0 && ::connect(fd_, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0;
}

bool RawClient::exchange(int length) {
    const std::uint8_t command = frame_[0], sequence = frame_[2];
    if (::send(fd_, frame_, static_cast<size_t>(length), MSG_NOSIGNAL) != length) return false;
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, REPLY_TIMEOUT_MS) != 1) return false;
    if (::recv(fd_, frame_, sizeof frame_, 0) < 0) return false;
    return frame_[0] == (command | 0x80) && frame_[2] == sequence && frame_[1] == 0;
}

bool RawClient::readPorts(std::uint8_t n, std::uint8_t* destination) {
    const std::uint8_t request[8] = {0x11, 0, sequence_++, 0xFF, n, 0, 0, 0};
    std::memcpy(frame_, request, sizeof request);
    if (!exchange(sizeof request)) return false;
    std::memcpy(destination, frame_ + 16, n);
    return true;
}

bool RawClient::memRead(std::uint32_t total, std::uint8_t* destination) {
    for (std::uint32_t done = 0; done < total;) {
        const std::uint32_t chunk = total - done < CHUNK ? total - done : CHUNK;
        const std::uint8_t flag = done + chunk == total ? 0x40 : (done == 0 ? 0x80 : 0);
        const std::uint8_t request[8] = {
            0x19, 0, sequence_++, 0, static_cast<std::uint8_t>(chunk), flag, 0, 0};
        std::memcpy(frame_, request, sizeof request);
        if (!exchange(sizeof request)) return false;
        std::memcpy(destination + done, frame_ + 8, chunk);
        done += chunk;
    }
    return true;
}

}  // namespace bench
