// What an exchange needs of a unit: its address, its connection, its
// sequence counter and its frame. The registry's per-unit record builds on
// this; the protocol layer sees nothing else of it.
#pragma once

#include <array>
#include <cstdint>

#include "platform/platform.h"
#include "protocol/frame.h"

namespace kelvo {

inline constexpr std::uint8_t UNIDENTIFIED = 0xFF;

struct Connection {
    platform::Socket socket = platform::NO_SOCKET;  // 0: not connected
    std::uint32_t address = 0;                      // IPv4, network byte order
    std::uint16_t port = COMMAND_PORT;              // host order
    // Who the unit said it is (UNIDENTIFIED until then); the trace names it.
    std::uint8_t model = UNIDENTIFIED;
    std::uint8_t aux = UNIDENTIFIED;
    std::uint8_t unitId = UNIDENTIFIED;
    std::uint8_t sequence = 0;  // copied into every request, stepped after each
    CommandFrame frame{};       // request and reply, in place
};

}  // namespace kelvo
