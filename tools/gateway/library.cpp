#include "library.h"

#include <cstring>

namespace gateway::library {
namespace {

// Request header offsets and the two commands sent raw.
constexpr std::size_t COMMAND = 0;
constexpr std::size_t SELECTOR = 3;
constexpr std::size_t COUNT = 4;
constexpr std::uint8_t CMD_READ = 0x11;
constexpr std::uint8_t CMD_INFO = 0x12;
constexpr std::uint8_t SELECT_ALL = 0xFF;
constexpr std::int32_t HEADER_SIZE = 8;
constexpr std::size_t REPLY_DATA_MAX = 240;

}  // namespace

int Initial() {
    return Kelvo_Initial();
}

KELVO_HANDLE OpenByIP(const std::string& address) {
    return Kelvo_OpenByIP(address.c_str());
}

void Close(KELVO_HANDLE handle) {
    Kelvo_Close(handle);
}

bool Identify(KELVO_HANDLE handle, Identity& identity) {
    std::uint8_t frame[HEADER_SIZE + REPLY_DATA_MAX] = {};
    frame[COMMAND] = CMD_INFO;
    if (!Kelvo_Access(handle, HEADER_SIZE, frame)) return false;
    // Reply data from byte 16: model code, aux byte, unit ID.
    identity = Identity{frame[0], frame[1], frame[2]};
    return !(frame[0] == 0xFF && frame[1] == 0xFF && frame[2] == 0xFF);
}

bool Version(KELVO_HANDLE handle, KelvoVersionInfo& info) {
    return Kelvo_GetVerInfo(handle, &info) != 0 &&
           info.deviceMajor + info.deviceMinor + info.deviceInfo != 0;
}

bool ReadImage(KELVO_HANDLE handle, std::uint8_t n, std::uint8_t* data) {
    std::uint8_t frame[HEADER_SIZE + REPLY_DATA_MAX] = {};
    frame[COMMAND] = CMD_READ;
    frame[SELECTOR] = SELECT_ALL;
    frame[COUNT] = n;
    if (!Kelvo_Access(handle, HEADER_SIZE, frame)) return false;
    std::memcpy(data, frame, n);
    return true;
}

std::uint16_t MultiReadAIO(KELVO_HANDLE handle, std::uint32_t count, const std::uint8_t* channels,
                           std::int32_t* values) {
    return Kelvo_MultiReadAIO(handle, count, channels, values);
}

std::uint16_t WriteDIO(KELVO_HANDLE handle, std::uint32_t port, std::uint32_t value,
                       std::uint32_t mask) {
    return Kelvo_WriteDIO(handle, port, value, mask);
}

std::uint16_t WriteAIO(KELVO_HANDLE handle, std::uint32_t channel, std::int32_t value) {
    return Kelvo_WriteAIO(handle, channel, value);
}

std::uint16_t WriteCOU(KELVO_HANDLE handle, std::uint32_t channel, std::int32_t value) {
    return Kelvo_WriteCOU(handle, channel, value);
}

}  // namespace gateway::library
