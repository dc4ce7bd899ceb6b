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

// Stores the bytes of `code`'s kind from `value` into the unit's record.
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

// Copies the bytes of `code`'s kind from the unit's record into `out`; other
// bytes of `out` are left alone.
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

// Reads the setting of `code` and, when that worked, hands the record to out.
template <class Out>
Status Get(DeviceEntry* entry, std::uint16_t code, Out&& out) {
    SamplingConfig c{};
    const Status status = GetMemSetting(entry, code, c);
    if (status == STATUS_OK) out(c);
    return status;
}

// The target-channel map of a list of analog channels (16 and above skipped).
std::uint16_t TargetChannelMap(std::uint8_t count, const std::uint8_t* channels) {
    std::uint16_t map = 0;
    for (std::uint8_t i = 0; i < count; ++i) {
        if (channels[i] < ANALOG_CHANNELS)
            map = static_cast<std::uint16_t>(map | 1u << channels[i]);
    }
    return map;
}

}  // namespace

Status SetCycle(DeviceEntry* entry, std::uint16_t kind, std::uint8_t timing, std::uint8_t cycle) {
    SamplingConfig c{};
    c[FLAGS] = timing;
    c[CYCLE] = cycle;
    return SetMemSetting(entry, kind, c);
}

Status GetCycle(DeviceEntry* entry, std::uint16_t kind, std::uint8_t* timing, std::uint8_t* cycle) {
    return Get(entry, kind, [&](const SamplingConfig& c) {
        *timing = c[FLAGS];
        *cycle = c[CYCLE];
    });
}

Status SetTrigger(DeviceEntry* entry, std::uint16_t kind, std::uint8_t lowerUpper,
                  std::uint16_t value) {
    SamplingConfig c{};
    c[TRIGGER] = lowerUpper;
    putLE16(c.data() + TRIGGER_VALUE, value);
    return SetMemSetting(entry, kind, c);
}

Status GetTrigger(DeviceEntry* entry, std::uint16_t kind, std::uint8_t* lower, std::uint8_t* upper,
                  std::uint16_t* value) {
    return Get(entry, kind, [&](const SamplingConfig& c) {
        *lower = c[TRIGGER] & 0x0F;
        *upper = c[TRIGGER] & 0xF0;  // not shifted: as the setter takes it
        *value = getLE16(c.data() + TRIGGER_VALUE);
    });
}

Status SetTrgDataDIO(DeviceEntry* entry, const std::uint8_t* data1, const std::uint8_t* data2) {
    SamplingConfig c{};
    c[TRGDATA1] = data1[0];
    c[TRGDATA1 + 1] = data1[1];
    c[TRGDATA2] = data2[0];
    c[TRGDATA2 + 1] = data2[1];
    return SetMemSetting(entry, SETTING_TRGDATA_DIO, c);
}

Status GetTrgDataDIO(DeviceEntry* entry, const std::uint8_t* count, std::uint8_t* data1,
                     std::uint8_t* data2) {
    return Get(entry, SETTING_TRGDATA_DIO, [&](const SamplingConfig& c) {
        // Two pairs of trigger data exist; any other count asks for nothing.
        if (*count != 2) return;
        data1[0] = c[TRGDATA1];
        data1[1] = c[TRGDATA1 + 1];
        data2[0] = c[TRGDATA2];
        data2[1] = c[TRGDATA2 + 1];
    });
}

Status SetTrgDataAI(DeviceEntry* entry, std::uint8_t channel, std::uint8_t data) {
    if (channel >= ANALOG_CHANNELS) return STATUS_BAD_SETTING;
    SamplingConfig c{};
    c[TRGDATA1] = channel;
    c[TRGDATA2] = data;
    return SetMemSetting(entry, SETTING_TRGDATA_AI, c);
}

Status GetTrgDataAI(DeviceEntry* entry, std::uint8_t* channel, std::uint8_t* data) {
    return Get(entry, SETTING_TRGDATA_AI, [&](const SamplingConfig& c) {
        *channel = c[TRGDATA1];
        *data = c[TRGDATA2];
    });
}

Status SetOutputModeAO(DeviceEntry* entry, std::uint8_t mode) {
    SamplingConfig c{};
    c[FLAGS] = mode;
    return SetMemSetting(entry, SETTING_OUTPUTMODE_AO, c);
}

Status GetOutputModeAO(DeviceEntry* entry, std::uint8_t* mode) {
    return Get(entry, SETTING_OUTPUTMODE_AO, [&](const SamplingConfig& c) { *mode = c[FLAGS]; });
}

Status SetTargetChannelAI(DeviceEntry* entry, std::uint8_t count, const std::uint8_t* channels) {
    SamplingConfig c{};
    putLE16(c.data() + TARGET_CHANNELS, TargetChannelMap(count, channels));
    return SetMemSetting(entry, SETTING_TARGETCHANNEL_AI, c);
}

Status SetSamplingFreqAO(DeviceEntry* entry, std::uint8_t timing, std::uint32_t frequency) {
    SamplingConfig c{};
    c[FLAGS] = timing;
    c[FREQUENCY] = static_cast<std::uint8_t>(frequency);  // 24 bits, lowest byte first
    c[FREQUENCY + 1] = static_cast<std::uint8_t>(frequency >> 8);
    c[FREQUENCY + 2] = static_cast<std::uint8_t>(frequency >> 16);
    return SetMemSetting(entry, SETTING_SAMPLINGFREQ_AO, c);
}

Status GetSamplingFreqAO(DeviceEntry* entry, std::uint8_t* timing, std::uint32_t* frequency) {
    return Get(entry, SETTING_SAMPLINGFREQ_AO, [&](const SamplingConfig& c) {
        *timing = c[FLAGS];
        *frequency = c[FREQUENCY] | c[FREQUENCY + 1] << 8 | c[FREQUENCY + 2] << 16;
    });
}

}  // namespace kelvo
