#include <cstring>
#include <memory>
#include <new>

#include "io/channel_io.h"
#include "io/model_table.h"
#include "protocol/builders.h"

namespace kelvo {
namespace {

// The unit's whole channel image: 60 little-endian 32-bit values, exactly
// the data area of a frame.
constexpr std::size_t CHANNEL_BLOCK_SIZE = frame::DATA_SIZE;
constexpr unsigned CHANNEL_VALUE_SIZE = 4;
constexpr unsigned BLOCK_CHANNELS = CHANNEL_BLOCK_SIZE / CHANNEL_VALUE_SIZE;
static_assert(BLOCK_CHANNELS == 60);

std::int32_t SignExtend(std::uint32_t raw, unsigned bits) {
    const std::uint32_t high = ~0u << (bits - 1);
    return static_cast<std::int32_t>((raw & high) ? (raw | high) : raw);
}

// The channel mask of a caller's list: channels at or above `limit` are left
// out, repeats count once.
std::uint32_t ChannelMask(std::uint8_t count, const std::uint8_t* channels, unsigned limit) {
    std::uint32_t mask = 0;
    for (std::uint8_t i = 0; i < count; ++i) {
        if (channels[i] < limit) mask |= 1u << channels[i];
    }
    return mask;
}

// Models with more than 32 channels do not exist; keep the mask shift defined
// whatever the table says.
unsigned MaskLimit(unsigned count) {
    return count < 32 ? count : 32;
}

using ChannelBlock = std::unique_ptr<std::uint8_t[]>;
ChannelBlock NewChannelBlock() {
    return ChannelBlock(new (std::nothrow) std::uint8_t[CHANNEL_BLOCK_SIZE]());
}

using WriteBuilder = Status (*)(Connection&, std::uint8_t, const std::uint8_t*, std::uint8_t,
                                std::uint32_t);

Status WriteSingle(DeviceEntry* entry, std::uint8_t channel, std::int32_t value,
                   WriteBuilder build) {
    if (!entry) return STATUS_NOT_OPEN;
    const ModelInfo& model = LookupModel(entry->model);
    if (channel >= model.outputs) return STATUS_BAD_CHANNEL;
    // The value's low-order bytes, least significant first; bits beyond the
    // value width are dropped.
    std::uint8_t bytes[4];
    putLE32(bytes, static_cast<std::uint32_t>(value));
    return build(*entry, static_cast<std::uint8_t>(ValueWidth(model)), bytes, channel, 0);
}

}  // namespace

Status ReadAIO(DeviceEntry* entry, std::uint8_t channel, std::int32_t* value) {
    *value = 0;
    if (!entry) return STATUS_NOT_OPEN;
    const ModelInfo& model = LookupModel(entry->model);
    if (channel >= model.inputs) return STATUS_BAD_CHANNEL;
    std::uint8_t bytes[4] = {};
    const Status status =
        ReadChannels(*entry, static_cast<std::uint8_t>(ValueWidth(model)), bytes, channel);
    if (status == STATUS_OK) *value = SignExtend(getLE32(bytes), model.bits);
    return status;
}

Status WriteAIO(DeviceEntry* entry, std::uint8_t channel, std::int32_t value) {
    return WriteSingle(entry, channel, value, WriteChannels);
}

Status WriteCOU(DeviceEntry* entry, std::uint8_t channel, std::int32_t value) {
    return WriteSingle(entry, channel, value, WriteCounters);
}

// Reads every channel in one exchange and hands out the selected ones in
// ascending channel order, as the unit sent them (no sign extension): the
// k-th value belongs to the k-th lowest selected channel.
Status MultiReadAIO(DeviceEntry* entry, std::uint8_t count, const std::uint8_t* channels,
                    std::int32_t* values) {
    std::memset(values, 0, count * sizeof *values);
    if (!entry) return STATUS_NOT_OPEN;
    const unsigned inputs = MaskLimit(LookupModel(entry->model).inputs);
    const std::uint32_t mask = ChannelMask(count, channels, inputs);
    ChannelBlock block = NewChannelBlock();
    if (!block) return STATUS_NO_MEMORY;
    const Status status = ReadChannels(*entry, CHANNEL_BLOCK_SIZE, block.get(), SELECT_ALL);
    if (status != STATUS_OK) return status;
    std::size_t next = 0;
    for (unsigned ch = 0; ch < inputs && ch < BLOCK_CHANNELS; ++ch) {
        if (mask & (1u << ch)) {
            values[next++] =
                static_cast<std::int32_t>(getLE32(block.get() + ch * CHANNEL_VALUE_SIZE));
        }
    }
    return STATUS_OK;
}

// Places the caller's values on the selected channels in ascending channel
// order and writes them with the channel mask in one exchange.
Status MultiWriteAIO(DeviceEntry* entry, std::uint8_t count, const std::uint8_t* channels,
                     const std::int32_t* values) {
    if (!entry) return STATUS_NOT_OPEN;
    const unsigned outputs = MaskLimit(LookupModel(entry->model).outputs);
    const std::uint32_t mask = ChannelMask(count, channels, outputs);
    ChannelBlock block = NewChannelBlock();
    if (!block) return STATUS_NO_MEMORY;
    std::size_t next = 0;
    for (unsigned ch = 0; ch < outputs && ch < BLOCK_CHANNELS; ++ch) {
        if (mask & (1u << ch)) {
            putLE32(block.get() + ch * CHANNEL_VALUE_SIZE,
                    static_cast<std::uint32_t>(values[next++]));
        }
    }
    return WriteChannels(*entry, CHANNEL_BLOCK_SIZE, block.get(), SELECT_ALL, mask);
}

Status SetGainAIO(DeviceEntry* entry, std::uint8_t channel, std::uint8_t gain) {
    if (!entry) return STATUS_NOT_OPEN;
    return Configure(*entry, 1, channel, &gain);
}

// The mode byte: modeHigh's low four bits in bits 4..7, modeLow OR-ed in
// whole.
Status SetModeCOU(DeviceEntry* entry, std::uint8_t channel, std::uint8_t modeLow,
                  std::uint8_t modeHigh) {
    if (!entry) return STATUS_NOT_OPEN;
    const auto mode = static_cast<std::uint8_t>((modeHigh << 4) | modeLow);
    return Configure(*entry, 1, channel, &mode);
}

}  // namespace kelvo
