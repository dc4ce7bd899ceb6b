// Listing, opening and closing units, raw frame access and version
// information. These report counts, handles or 1/0, never a status code.
#pragma once

#include <cstdint>

#include "registry/device_registry.h"

namespace kelvo {

// Caller-visible records (layouts in include/kelvo.h).
inline constexpr std::size_t SUMMARY_SIZE = 21;
inline constexpr std::size_t VERSION_INFO_SIZE = 37;

// The list calls take the registry from the caller's ListCall, the unit
// calls the unit's record (null: not a handle of the current list) from its
// UnitCall.
std::int32_t BrowseDevice(const DeviceRegistry* registry, std::uint8_t* summaries);
std::int32_t BrowseDeviceIndex(const DeviceRegistry* registry, std::int16_t index,
                               std::uint8_t* summary);
void* Open(const DeviceRegistry* registry, std::uint8_t model, std::uint8_t unitId);
void* OpenByIP(const DeviceRegistry* registry, const char* address);
std::int32_t Close(DeviceEntry* entry);
std::int32_t Access(DeviceEntry* entry, std::int16_t length, std::uint8_t* buffer);
std::int32_t GetVerInfo(DeviceEntry* entry, std::uint8_t* info);

}  // namespace kelvo
