#include "library.h"

#include "common/image.h"

namespace gateway::library {

int Initial() {
    return Kelvo_Initial();
}

KELVO_HANDLE OpenByIP(const std::string& address) {
    return Kelvo_OpenByIP(address.c_str());
}

void Close(KELVO_HANDLE handle) {
    Kelvo_Close(handle);
}

bool Version(KELVO_HANDLE handle, KelvoVersionInfo& info) {
    return Kelvo_GetVerInfo(handle, &info) != 0 &&
           info.deviceMajor + info.deviceMinor + info.deviceInfo != 0;
}

bool ReadImage(KELVO_HANDLE handle, std::uint8_t n, std::uint8_t* data) {
    return kelvo::tools::ReadImage(handle, n, data) == kelvo::tools::ImageRead::OK;
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
