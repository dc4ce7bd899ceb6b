// The calls the gateway makes into the library, in one place. Each is one
// library call (or one raw exchange). Calls on different handles run at the
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

// The unit's identification (model code, aux byte, unit ID) as it reports it.
struct Identity {
    std::uint8_t model = 0xFF;
    std::uint8_t aux = 0xFF;
    std::uint8_t unitId = 0xFF;
};
bool Identify(KELVO_HANDLE handle, Identity& identity);
bool Version(KELVO_HANDLE handle, KelvoVersionInfo& info);

// Reads the unit's whole image (the first n bytes): the 8 ports of a digital
// unit, or the 32-bit channel block of an analog or counter unit. The typed
// reads refuse output positions; this is the same exchange they make.
bool ReadImage(KELVO_HANDLE handle, std::uint8_t n, std::uint8_t* data);
std::uint16_t MultiReadAIO(KELVO_HANDLE handle, std::uint32_t count, const std::uint8_t* channels,
                           std::int32_t* values);
std::uint16_t WriteDIO(KELVO_HANDLE handle, std::uint32_t port, std::uint32_t value,
                       std::uint32_t mask);
std::uint16_t WriteAIO(KELVO_HANDLE handle, std::uint32_t channel, std::int32_t value);
std::uint16_t WriteCOU(KELVO_HANDLE handle, std::uint32_t channel, std::int32_t value);

}  // namespace gateway::library
