// Finding units: the device-list file, a broadcast query, and identification
// of every listed unit over TCP.
#pragma once

#include <cstdint>

#include "registry/device_registry.h"

namespace kelvo {

// Collecting discovery answers ends after this many, or this long after the
// query, whichever comes first.
inline constexpr std::int32_t DISCOVERY_MAX_ANSWERS = 4096;
inline constexpr std::int32_t DISCOVERY_LIMIT_MS = 15000;
// Units identified at once, one probe socket each; more wait for a free one.
inline constexpr int IDENTIFY_AT_ONCE = platform::WAIT_MAX;

// Sends the discovery query to 255.255.255.255:port and appends one entry per
// answer until `wait` ms pass without one (or a limit above is reached).
void BroadcastDiscover(DeviceRegistry& registry, std::uint16_t port, std::int32_t wait);

// Waits for every call in flight, rebuilds the registry and returns the
// number of units in it.
std::int32_t Initial();

}  // namespace kelvo
