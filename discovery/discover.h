// Finding units: the device-list file, a broadcast query, and identification
// of every listed unit over TCP.
#pragma once

#include <cstdint>

#include "registry/device_registry.h"

namespace kelvo {

// Sends the discovery query to 255.255.255.255:port and appends one entry per
// answer until `wait` ms pass without one.
void BroadcastDiscover(DeviceRegistry& registry, std::uint16_t port, std::int32_t wait);

// Waits for every call in flight, rebuilds the registry and returns the
// number of units in it.
std::int32_t Initial();

}  // namespace kelvo
