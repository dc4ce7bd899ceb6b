#include <initializer_list>

#include "sampling/sampling.h"

namespace kelvo {
namespace {

using namespace sampling;

// The bytes one setting kind moves, and the flag bit it owns in byte 12
// (0 when it has none). The flag bit is merged: the stored byte keeps every
// other bit and the caller's byte is OR-ed in whole.
struct Kind {
    std::uint16_t code;
    std::uint8_t flag;
    std::initializer_list<std::size_t> bytes;
};

const Kind KINDS[] = {
    {SETTING_TRGDATA_DIO, 0, {TRGDATA1, TRGDATA1 + 1, TRGDATA2, TRGDATA2 + 1}},
    {SETTING_TRIGGER_DIO, 0, {TRIGGER, TRIGGER_VALUE, TRIGGER_VALUE + 1}},
    {SETTING_SAMPLINGCYCLE_DIO, TIMING_FLAG, {CYCLE}},
    {SETTING_SAMPLINGFREQ_AO, TIMING_FLAG, {FREQUENCY, FREQUENCY + 1, FREQUENCY + 2}},
    {SETTING_OUTPUTMODE_AO, OUTPUT_MODE_FLAG, {}},
    {SETTING_TRGDATA_AI, 0, {TRGDATA1, TRGDATA2}},
    {SETTING_TRIGGER_AIO, 0, {TRIGGER, TRIGGER_VALUE, TRIGGER_VALUE + 1}},
    {SETTING_SAMPLINGCYCLE_AI, TIMING_FLAG, {CYCLE}},
    {SETTING_TARGETCHANNEL_AI, 0, {TARGET_CHANNELS, TARGET_CHANNELS + 1}},
};

const Kind* FindKind(std::uint16_t code) {
    for (const Kind& kind : KINDS) {
        if (kind.code == code) return &kind;
    }
    return nullptr;
}

}  // namespace

Status SetMemSetting(DeviceEntry* entry, std::uint16_t code, const SamplingConfig& value) {
    if (!entry) return STATUS_NOT_OPEN;
    const Kind* kind = FindKind(code);
    if (!kind) return STATUS_BAD_SETTING;
    SamplingConfig& stored = entry->sampling;
    if (kind->flag) {
        stored[FLAGS] = static_cast<std::uint8_t>((stored[FLAGS] & ~kind->flag) | value[FLAGS]);
    }
    for (std::size_t at : kind->bytes) stored[at] = value[at];
    return STATUS_OK;
}

Status GetMemSetting(DeviceEntry* entry, std::uint16_t code, SamplingConfig& out) {
    if (!entry) return STATUS_NOT_OPEN;
    const Kind* kind = FindKind(code);
    if (!kind) return STATUS_BAD_SETTING;
    const SamplingConfig& stored = entry->sampling;
    // Only the kind's own flag bit is reported, in its own position.
    if (kind->flag) out[FLAGS] = stored[FLAGS] & kind->flag;
    for (std::size_t at : kind->bytes) out[at] = stored[at];
    return STATUS_OK;
}

std::uint16_t TargetChannelMap(std::uint8_t count, const std::uint8_t* channels) {
    std::uint16_t map = 0;
    for (std::uint8_t i = 0; i < count; ++i) {
        if (channels[i] < ANALOG_CHANNELS)
            map = static_cast<std::uint16_t>(map | 1u << channels[i]);
    }
    return map;
}

}  // namespace kelvo
