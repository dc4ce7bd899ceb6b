// Digital, analog and counter operations on an opened unit. Each takes the
// unit's record from the caller's UnitCall (null: no unit has that handle,
// STATUS_NOT_OPEN), checks the port or channel numbers against the unit's
// model, then makes at most one exchange.
#pragma once

#include <cstdint>

#include "registry/device_registry.h"

namespace kelvo {

// Digital units are seen as an image of up to 8 ports of 8 lines.
inline constexpr std::uint8_t PORT_IMAGE_SIZE = 8;

Status ReadDIO(DeviceEntry* entry, std::uint8_t port, std::uint8_t* data);
Status WriteDIO(DeviceEntry* entry, std::uint8_t port, std::uint8_t value, std::uint8_t mask);
Status MultiReadDIO(DeviceEntry* entry, std::uint8_t count, const std::uint8_t* ports,
                    std::uint8_t* data);
Status MultiWriteDIO(DeviceEntry* entry, std::uint8_t count, const std::uint8_t* ports,
                     const std::uint8_t* values, const std::uint8_t* masks);
Status SetChDirDIO(DeviceEntry* entry, std::uint8_t count, const std::uint8_t* directions);

// Analog channels and counters. ReadCOU/WriteCOU differ from the analog
// calls only in the request a counter write uses.
Status ReadAIO(DeviceEntry* entry, std::uint8_t channel, std::int32_t* value);
Status WriteAIO(DeviceEntry* entry, std::uint8_t channel, std::int32_t value);
Status WriteCOU(DeviceEntry* entry, std::uint8_t channel, std::int32_t value);
Status MultiReadAIO(DeviceEntry* entry, std::uint8_t count, const std::uint8_t* channels,
                    std::int32_t* values);
Status MultiWriteAIO(DeviceEntry* entry, std::uint8_t count, const std::uint8_t* channels,
                     const std::int32_t* values);
Status SetGainAIO(DeviceEntry* entry, std::uint8_t channel, std::uint8_t gain);
Status SetModeCOU(DeviceEntry* entry, std::uint8_t channel, std::uint8_t modeLow,
                  std::uint8_t modeHigh);

}  // namespace kelvo
