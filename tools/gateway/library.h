// The calls the gateway makes into the library, in one place. Each is one
// library call (or the shared raw read of the image). Calls on different handles run at the
// same time, so the unit workers need no lock of their own; Kelvo_Initial is
// called only before they start.
#pragma once

#include <cstdint>
#include <string>

#include "kelvo.h"

namespace gateway::library {

// Kelvo_Initial; the handles handed out before are invalid afterwards.
int Initial();
KELVO_HANDLE OpenByIP(const std::string& address);
void Close(KELVO_HANDLE handle);

bool Version(KELVO_HANDLE handle, KelvoVersionInfo& info);

// Reads the unit's whole image (the first n bytes): the 8 ports of a digital
// unit, or the 32-bit channel block of an analog or counter unit (the shared
// raw read, which refuses a reply with fewer data bytes than asked for).
bool ReadImage(KELVO_HANDLE handle, std::uint8_t n, std::uint8_t* data);
std::uint16_t MultiReadAIO(KELVO_HANDLE handle, std::uint32_t count, const std::uint8_t* channels,
                           std::int32_t* values);
std::uint16_t WriteDIO(KELVO_HANDLE handle, std::uint32_t port, std::uint32_t value,
                       std::uint32_t mask);
std::uint16_t WriteAIO(KELVO_HANDLE handle, std::uint32_t channel, std::int32_t value);
std::uint16_t WriteCOU(KELVO_HANDLE handle, std::uint32_t channel, std::int32_t value);

}  // namespace gateway::library
