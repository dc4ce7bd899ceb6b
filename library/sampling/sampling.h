// The unit's on-board sampling memory: the settings record kept per unit,
// and the commands that start, stop, poll, seek and transfer.
#pragma once

#include <cstdint>

#include "registry/device_registry.h"

namespace kelvo {

// SamplingConfig layout (26 bytes, little-endian). Bytes 2..25 travel
// unchanged in the start and stop requests.
namespace sampling {
inline constexpr std::size_t TRIGGER_VALUE = 2;    // 16 bits
inline constexpr std::size_t TARGET_CHANNELS = 4;  // 16-bit map: channels 0..7, 8..15
inline constexpr std::size_t FLAGS = 12;
inline constexpr std::size_t CYCLE = 13;
inline constexpr std::size_t FREQUENCY = 16;  // 24 bits
inline constexpr std::size_t TRIGGER = 20;    // lower code bits 0..3, upper code bits 4..7
inline constexpr std::size_t TRGDATA1 = 22;   // 2 bytes; analog: trigger channel
inline constexpr std::size_t TRGDATA2 = 24;   // 2 bytes; analog: trigger data byte
inline constexpr std::uint8_t TIMING_FLAG = 0x04;
inline constexpr std::uint8_t OUTPUT_MODE_FLAG = 0x08;
inline constexpr std::uint8_t ANALOG_CHANNELS = 16;
}  // namespace sampling

// Setting kinds: high byte the family, low byte the item.
inline constexpr std::uint16_t SETTING_TRGDATA_DIO = 0x0301;
inline constexpr std::uint16_t SETTING_TRIGGER_DIO = 0x0302;
inline constexpr std::uint16_t SETTING_SAMPLINGCYCLE_DIO = 0x0303;
inline constexpr std::uint16_t SETTING_SAMPLINGFREQ_AO = 0x1003;
inline constexpr std::uint16_t SETTING_OUTPUTMODE_AO = 0x1004;
inline constexpr std::uint16_t SETTING_TRGDATA_AI = 0x2001;
inline constexpr std::uint16_t SETTING_TRIGGER_AIO = 0x2002;
inline constexpr std::uint16_t SETTING_SAMPLINGCYCLE_AI = 0x2003;
inline constexpr std::uint16_t SETTING_TARGETCHANNEL_AI = 0x2005;

// The setting calls. Each setter fills the fields of its kind in a zeroed
// record and stores them in the unit's record; each getter writes its
// outputs only when the setting could be read. A null entry (no such
// handle) gives STATUS_NOT_OPEN.
Status SetCycle(DeviceEntry* entry, std::uint16_t kind, std::uint8_t timing, std::uint8_t cycle);
Status GetCycle(DeviceEntry* entry, std::uint16_t kind, std::uint8_t* timing, std::uint8_t* cycle);
// lowerUpper: the lower trigger code in bits 0..3, the upper in bits 4..7.
Status SetTrigger(DeviceEntry* entry, std::uint16_t kind, std::uint8_t lowerUpper,
                  std::uint16_t value);
Status GetTrigger(DeviceEntry* entry, std::uint16_t kind, std::uint8_t* lower, std::uint8_t* upper,
                  std::uint16_t* value);
// Two bytes from each of data1 and data2.
Status SetTrgDataDIO(DeviceEntry* entry, const std::uint8_t* data1, const std::uint8_t* data2);
// *count is read only after the setting was: 2 asks for both pairs, any
// other count for nothing.
Status GetTrgDataDIO(DeviceEntry* entry, const std::uint8_t* count, std::uint8_t* data1,
                     std::uint8_t* data2);
// Analog trigger channels are 0..15: any other is refused before the handle.
Status SetTrgDataAI(DeviceEntry* entry, std::uint8_t channel, std::uint8_t data);
Status GetTrgDataAI(DeviceEntry* entry, std::uint8_t* channel, std::uint8_t* data);
Status SetOutputModeAO(DeviceEntry* entry, std::uint8_t mode);
Status GetOutputModeAO(DeviceEntry* entry, std::uint8_t* mode);
// The target-channel map of a list of analog channels (16 and above skipped).
Status SetTargetChannelAI(DeviceEntry* entry, std::uint8_t count, const std::uint8_t* channels);
// 24 bits of frequency.
Status SetSamplingFreqAO(DeviceEntry* entry, std::uint8_t timing, std::uint32_t frequency);
Status GetSamplingFreqAO(DeviceEntry* entry, std::uint8_t* timing, std::uint32_t* frequency);

Status MemControl(DeviceEntry* entry, std::uint8_t code);
std::uint8_t MemStatus(DeviceEntry* entry, std::uint32_t* count);
Status MemSeek(DeviceEntry* entry, std::uint32_t position);
Status MemRead(DeviceEntry* entry, std::uint32_t length, std::uint8_t* buffer, std::uint8_t flag);
Status MemWrite(DeviceEntry* entry, std::uint32_t length, const std::uint8_t* buffer,
                std::uint8_t flag);

}  // namespace kelvo
