#include <cstring>

#include "protocol/builders.h"
#include "protocol/exchange.h"
#include "sampling/sampling.h"

namespace kelvo {

// Start and stop carry the settings: frame byte 8 + n is record byte n for
// n = 2..25; byte 8 holds the control code and byte 9 is 0.
//
//   2B 00 s 00 00 00 00 00 | code 00 | record bytes 2..25 | 00 00   (36 bytes)
Status MemControl(DeviceEntry* entry, std::uint8_t code) {
    if (!entry) return STATUS_NOT_OPEN;
    std::uint8_t* f = entry->frame.data();
    std::memset(f, 0, FRAME_SIZE);
    std::memcpy(f + frame::MASK, entry->sampling.data(), entry->sampling.size());
    f[frame::COMMAND] = CMD_MEM_CONTROL;
    f[frame::MASK] = code;
    f[frame::MASK + 1] = 0;
    return Exchange(*entry, MEM_CONTROL_SIZE);
}

// Seek carries no settings: only the control code and the position.
Status MemSeek(DeviceEntry* entry, std::uint32_t position) {
    if (!entry) return STATUS_NOT_OPEN;
    std::uint8_t* f = entry->frame.data();
    std::memset(f, 0, FRAME_SIZE);
    f[frame::COMMAND] = CMD_MEM_CONTROL;
    f[frame::MASK] = MEM_CONTROL_SEEK;
    putLE32(f + MEM_SEEK_POSITION, position);
    return Exchange(*entry, MEM_CONTROL_SIZE);
}

// The unit's sampling status byte, and its memory count in bytes (the reply
// counts 4096-byte blocks). Both 0 on any failure.
std::uint8_t MemStatus(DeviceEntry* entry, std::uint32_t* count) {
    *count = 0;
    if (!entry) return 0;
    entry->frame.fill(0);
    entry->frame[frame::COMMAND] = CMD_MEM_STATUS;
    entry->frame[frame::LENGTH] = MEM_STATUS_ASK;
    // The reply must bring the status byte and the 16-bit count.
    if (Exchange(*entry, frame::HEADER_SIZE, MEM_STATUS_COUNT + 2) != STATUS_OK) return 0;
    *count = std::uint32_t{getLE16(entry->frame.data() + MEM_STATUS_COUNT)} << MEM_COUNT_SHIFT;
    return entry->frame[MEM_STATUS_BYTE];
}

Status MemRead(DeviceEntry* entry, std::uint32_t length, std::uint8_t* buffer, std::uint8_t flag) {
    if (!entry) return STATUS_NOT_OPEN;
    return TransferRead(*entry, length, buffer, flag);
}

Status MemWrite(DeviceEntry* entry, std::uint32_t length, const std::uint8_t* buffer,
                std::uint8_t flag) {
    if (!entry) return STATUS_NOT_OPEN;
    return TransferWrite(*entry, length, buffer, flag);
}

}  // namespace kelvo
