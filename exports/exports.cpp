// The library's C boundary. Each export passes its arguments, narrowed to the
// bits the operation uses, to one operation. A call on a unit passes a
// UnitCall, which checks the handle and holds the unit until the export
// returns. The library is built without exceptions, so none can cross this
// boundary.
#include "discovery/connections.h"
#include "discovery/discover.h"
#include "io/channel_io.h"
#include "kelvo.h"
#include "sampling/sampling.h"

using namespace kelvo;

namespace {
std::uint8_t Byte(std::uint32_t v) {
    return static_cast<std::uint8_t>(v);
}
std::uint8_t* Bytes(void* p) {
    return static_cast<std::uint8_t*>(p);
}
}  // namespace

static_assert(sizeof(KelvoDeviceSummary) == SUMMARY_SIZE);
static_assert(sizeof(KelvoVersionInfo) == VERSION_INFO_SIZE);
static_assert(KELVO_STATUS_OK == STATUS_OK && KELVO_STATUS_NO_MEMORY == STATUS_NO_MEMORY &&
              KELVO_STATUS_NOT_OPEN == STATUS_NOT_OPEN &&
              KELVO_STATUS_COMM_ERROR == STATUS_COMM_ERROR &&
              KELVO_STATUS_BAD_SETTING == STATUS_BAD_SETTING &&
              KELVO_STATUS_BAD_CHANNEL == STATUS_BAD_CHANNEL);

extern "C" {

// ---- Discovery and connections ----

KELVO_API int32_t KELVO_CALL Kelvo_Initial(void) {
    return Initial();
}

KELVO_API int32_t KELVO_CALL Kelvo_BrowseDevice(KelvoDeviceSummary* summaries) {
    return BrowseDevice(Bytes(summaries));
}

KELVO_API int32_t KELVO_CALL Kelvo_BrowseDeviceIndex(int32_t index, KelvoDeviceSummary* summary) {
    return BrowseDeviceIndex(static_cast<std::int16_t>(index), Bytes(summary));
}

KELVO_API KELVO_HANDLE KELVO_CALL Kelvo_Open(uint32_t modelCode, uint32_t unitId) {
    return Open(Byte(modelCode), Byte(unitId));
}

KELVO_API KELVO_HANDLE KELVO_CALL Kelvo_OpenByIP(const char* ipAddress) {
    return OpenByIP(ipAddress);
}

KELVO_API int32_t KELVO_CALL Kelvo_Close(KELVO_HANDLE handle) {
    return Close(UnitCall(handle));
}

KELVO_API int32_t KELVO_CALL Kelvo_Access(KELVO_HANDLE handle, int32_t length, uint8_t* buffer) {
    return Access(UnitCall(handle), static_cast<std::int16_t>(length), buffer);
}

KELVO_API int32_t KELVO_CALL Kelvo_GetVerInfo(KELVO_HANDLE handle, KelvoVersionInfo* info) {
    return GetVerInfo(UnitCall(handle), Bytes(info));
}

// ---- Digital I/O ----

KELVO_API uint16_t KELVO_CALL Kelvo_ReadDIO(KELVO_HANDLE handle, uint32_t port, uint8_t* data) {
    return ReadDIO(UnitCall(handle), Byte(port), data);
}

KELVO_API uint16_t KELVO_CALL Kelvo_WriteDIO(KELVO_HANDLE handle, uint32_t port, uint32_t value,
                                             uint32_t mask) {
    return WriteDIO(UnitCall(handle), Byte(port), Byte(value), Byte(mask));
}

KELVO_API uint16_t KELVO_CALL Kelvo_MultiReadDIO(KELVO_HANDLE handle, uint32_t count,
                                                 const uint8_t* ports, uint8_t* data) {
    return MultiReadDIO(UnitCall(handle), Byte(count), ports, data);
}

KELVO_API uint16_t KELVO_CALL Kelvo_MultiWriteDIO(KELVO_HANDLE handle, uint32_t count,
                                                  const uint8_t* ports, const uint8_t* values,
                                                  const uint8_t* masks) {
    return MultiWriteDIO(UnitCall(handle), Byte(count), ports, values, masks);
}

KELVO_API uint16_t KELVO_CALL Kelvo_SetChDirDIO(KELVO_HANDLE handle, uint32_t count,
                                                const uint8_t* directions) {
    return SetChDirDIO(UnitCall(handle), Byte(count), directions);
}

// ---- Analog I/O and counters ----

KELVO_API uint16_t KELVO_CALL Kelvo_ReadAIO(KELVO_HANDLE handle, uint32_t channel, int32_t* value) {
    return ReadAIO(UnitCall(handle), Byte(channel), value);
}

KELVO_API uint16_t KELVO_CALL Kelvo_WriteAIO(KELVO_HANDLE handle, uint32_t channel, int32_t value) {
    return WriteAIO(UnitCall(handle), Byte(channel), value);
}

KELVO_API uint16_t KELVO_CALL Kelvo_MultiReadAIO(KELVO_HANDLE handle, uint32_t count,
                                                 const uint8_t* channels, int32_t* values) {
    return MultiReadAIO(UnitCall(handle), Byte(count), channels, values);
}

KELVO_API uint16_t KELVO_CALL Kelvo_MultiWriteAIO(KELVO_HANDLE handle, uint32_t count,
                                                  const uint8_t* channels, const int32_t* values) {
    return MultiWriteAIO(UnitCall(handle), Byte(count), channels, values);
}

KELVO_API uint16_t KELVO_CALL Kelvo_SetGainAIO(KELVO_HANDLE handle, uint32_t channel,
                                               uint32_t gain) {
    return SetGainAIO(UnitCall(handle), Byte(channel), Byte(gain));
}

KELVO_API uint16_t KELVO_CALL Kelvo_ReadCOU(KELVO_HANDLE handle, uint32_t channel, int32_t* value) {
    return ReadAIO(UnitCall(handle), Byte(channel), value);
}

KELVO_API uint16_t KELVO_CALL Kelvo_WriteCOU(KELVO_HANDLE handle, uint32_t channel, int32_t value) {
    return WriteCOU(UnitCall(handle), Byte(channel), value);
}

KELVO_API uint16_t KELVO_CALL Kelvo_SetModeCOU(KELVO_HANDLE handle, uint32_t channel,
                                               uint32_t modeLow, uint32_t modeHigh) {
    return SetModeCOU(UnitCall(handle), Byte(channel), Byte(modeLow), Byte(modeHigh));
}

// ---- Sampling settings ----
// Setters fill the fields of their kind in a zeroed record; getters write
// their outputs only when the setting could be read.

namespace {
namespace s = kelvo::sampling;

Status SetCycle(KELVO_HANDLE handle, std::uint16_t kind, std::uint32_t timing,
                std::uint32_t cycle) {
    SamplingConfig c{};
    c[s::FLAGS] = Byte(timing);
    c[s::CYCLE] = Byte(cycle);
    return SetMemSetting(UnitCall(handle), kind, c);
}

Status GetCycle(KELVO_HANDLE handle, std::uint16_t kind, std::uint8_t* timing,
                std::uint8_t* cycle) {
    SamplingConfig c{};
    const Status status = GetMemSetting(UnitCall(handle), kind, c);
    if (status == STATUS_OK) {
        *timing = c[s::FLAGS];
        *cycle = c[s::CYCLE];
    }
    return status;
}

Status SetTrigger(KELVO_HANDLE handle, std::uint16_t kind, std::uint32_t lower, std::uint32_t upper,
                  std::uint32_t value) {
    SamplingConfig c{};
    c[s::TRIGGER] = Byte(lower | upper);
    putLE16(c.data() + s::TRIGGER_VALUE, static_cast<std::uint16_t>(value));
    return SetMemSetting(UnitCall(handle), kind, c);
}

Status GetTrigger(KELVO_HANDLE handle, std::uint16_t kind, std::uint8_t* lower, std::uint8_t* upper,
                  std::uint16_t* value) {
    SamplingConfig c{};
    const Status status = GetMemSetting(UnitCall(handle), kind, c);
    if (status == STATUS_OK) {
        *lower = c[s::TRIGGER] & 0x0F;
        *upper = c[s::TRIGGER] & 0xF0;  // not shifted: as the setter takes it
        *value = getLE16(c.data() + s::TRIGGER_VALUE);
    }
    return status;
}
}  // namespace

KELVO_API uint16_t KELVO_CALL Kelvo_SetMemSamplingCycleDIO(KELVO_HANDLE handle, uint32_t timing,
                                                           uint32_t cycle) {
    return SetCycle(handle, SETTING_SAMPLINGCYCLE_DIO, timing, cycle);
}

KELVO_API uint16_t KELVO_CALL Kelvo_GetMemSamplingCycleDIO(KELVO_HANDLE handle, uint8_t* timing,
                                                           uint8_t* cycle) {
    return GetCycle(handle, SETTING_SAMPLINGCYCLE_DIO, timing, cycle);
}

KELVO_API uint16_t KELVO_CALL Kelvo_SetMemSamplingCycleAI(KELVO_HANDLE handle, uint32_t timing,
                                                          uint32_t cycle) {
    return SetCycle(handle, SETTING_SAMPLINGCYCLE_AI, timing, cycle);
}

KELVO_API uint16_t KELVO_CALL Kelvo_GetMemSamplingCycleAI(KELVO_HANDLE handle, uint8_t* timing,
                                                          uint8_t* cycle) {
    return GetCycle(handle, SETTING_SAMPLINGCYCLE_AI, timing, cycle);
}

KELVO_API uint16_t KELVO_CALL Kelvo_SetMemTriggerDIO(KELVO_HANDLE handle, uint32_t lower,
                                                     uint32_t upper, uint32_t value) {
    return SetTrigger(handle, SETTING_TRIGGER_DIO, lower, upper, value);
}

KELVO_API uint16_t KELVO_CALL Kelvo_GetMemTriggerDIO(KELVO_HANDLE handle, uint8_t* lower,
                                                     uint8_t* upper, uint16_t* value) {
    return GetTrigger(handle, SETTING_TRIGGER_DIO, lower, upper, value);
}

KELVO_API uint16_t KELVO_CALL Kelvo_SetMemTriggerAIO(KELVO_HANDLE handle, uint32_t lower,
                                                     uint32_t upper, uint32_t value) {
    return SetTrigger(handle, SETTING_TRIGGER_AIO, lower, upper, value);
}

KELVO_API uint16_t KELVO_CALL Kelvo_GetMemTriggerAIO(KELVO_HANDLE handle, uint8_t* lower,
                                                     uint8_t* upper, uint16_t* value) {
    return GetTrigger(handle, SETTING_TRIGGER_AIO, lower, upper, value);
}

KELVO_API uint16_t KELVO_CALL Kelvo_SetMemTrgDataDIO(KELVO_HANDLE handle, uint32_t /*count*/,
                                                     const uint8_t* data1, const uint8_t* data2) {
    SamplingConfig c{};
    c[s::TRGDATA1] = data1[0];
    c[s::TRGDATA1 + 1] = data1[1];
    c[s::TRGDATA2] = data2[0];
    c[s::TRGDATA2 + 1] = data2[1];
    return SetMemSetting(UnitCall(handle), SETTING_TRGDATA_DIO, c);
}

KELVO_API uint16_t KELVO_CALL Kelvo_GetMemTrgDataDIO(KELVO_HANDLE handle, const uint8_t* count,
                                                     uint8_t* data1, uint8_t* data2) {
    SamplingConfig c{};
    const Status status = GetMemSetting(UnitCall(handle), SETTING_TRGDATA_DIO, c);
    // Two pairs of trigger data exist; any other count asks for nothing.
    if (status == STATUS_OK && *count == 2) {
        data1[0] = c[s::TRGDATA1];
        data1[1] = c[s::TRGDATA1 + 1];
        data2[0] = c[s::TRGDATA2];
        data2[1] = c[s::TRGDATA2 + 1];
    }
    return status;
}

KELVO_API uint16_t KELVO_CALL Kelvo_SetMemTrgDataAI(KELVO_HANDLE handle, uint32_t channel,
                                                    uint32_t data) {
    // Checked before the handle: analog trigger channels are 0..15.
    if (Byte(channel) >= s::ANALOG_CHANNELS) return STATUS_BAD_SETTING;
    SamplingConfig c{};
    c[s::TRGDATA1] = Byte(channel);
    c[s::TRGDATA2] = Byte(data);
    return SetMemSetting(UnitCall(handle), SETTING_TRGDATA_AI, c);
}

KELVO_API uint16_t KELVO_CALL Kelvo_GetMemTrgDataAI(KELVO_HANDLE handle, uint8_t* channel,
                                                    uint8_t* data) {
    SamplingConfig c{};
    const Status status = GetMemSetting(UnitCall(handle), SETTING_TRGDATA_AI, c);
    if (status == STATUS_OK) {
        *channel = c[s::TRGDATA1];
        *data = c[s::TRGDATA2];
    }
    return status;
}

KELVO_API uint16_t KELVO_CALL Kelvo_SetMemOutputModeAO(KELVO_HANDLE handle, uint32_t mode) {
    SamplingConfig c{};
    c[s::FLAGS] = Byte(mode);
    return SetMemSetting(UnitCall(handle), SETTING_OUTPUTMODE_AO, c);
}

KELVO_API uint16_t KELVO_CALL Kelvo_GetMemOutputModeAO(KELVO_HANDLE handle, uint8_t* mode) {
    SamplingConfig c{};
    const Status status = GetMemSetting(UnitCall(handle), SETTING_OUTPUTMODE_AO, c);
    if (status == STATUS_OK) *mode = c[s::FLAGS];
    return status;
}

KELVO_API uint16_t KELVO_CALL Kelvo_SetMemTargetChannelAI(KELVO_HANDLE handle, uint32_t count,
                                                          const uint8_t* channels) {
    SamplingConfig c{};
    putLE16(c.data() + s::TARGET_CHANNELS, TargetChannelMap(Byte(count), channels));
    return SetMemSetting(UnitCall(handle), SETTING_TARGETCHANNEL_AI, c);
}

KELVO_API uint16_t KELVO_CALL Kelvo_SetMemSamplingFreqAO(KELVO_HANDLE handle, uint32_t timing,
                                                         uint32_t frequency) {
    SamplingConfig c{};
    c[s::FLAGS] = Byte(timing);
    c[s::FREQUENCY] = Byte(frequency);  // 24 bits, lowest byte first
    c[s::FREQUENCY + 1] = Byte(frequency >> 8);
    c[s::FREQUENCY + 2] = Byte(frequency >> 16);
    return SetMemSetting(UnitCall(handle), SETTING_SAMPLINGFREQ_AO, c);
}

KELVO_API uint16_t KELVO_CALL Kelvo_GetMemSamplingFreqAO(KELVO_HANDLE handle, uint8_t* timing,
                                                         uint32_t* frequency) {
    SamplingConfig c{};
    const Status status = GetMemSetting(UnitCall(handle), SETTING_SAMPLINGFREQ_AO, c);
    if (status == STATUS_OK) {
        *timing = c[s::FLAGS];
        *frequency = c[s::FREQUENCY] | c[s::FREQUENCY + 1] << 8 | c[s::FREQUENCY + 2] << 16;
    }
    return status;
}

// ---- Sampling control and memory transfer ----
// The DIO and AIO names of each pair do the same. In the DLL the read, write,
// seek-read and seek-write pairs share one entry point: the AIO names of
// those are bound to the DIO bodies at link time.

KELVO_API uint16_t KELVO_CALL Kelvo_MemStartDIO(KELVO_HANDLE handle) {
    return MemControl(UnitCall(handle), MEM_CONTROL_START);
}
KELVO_API uint16_t KELVO_CALL Kelvo_MemStartAIO(KELVO_HANDLE handle) {
    return MemControl(UnitCall(handle), MEM_CONTROL_START);
}
KELVO_API uint16_t KELVO_CALL Kelvo_MemStopDIO(KELVO_HANDLE handle) {
    return MemControl(UnitCall(handle), MEM_CONTROL_STOP);
}
KELVO_API uint16_t KELVO_CALL Kelvo_MemStopAIO(KELVO_HANDLE handle) {
    return MemControl(UnitCall(handle), MEM_CONTROL_STOP);
}
KELVO_API uint8_t KELVO_CALL Kelvo_MemSampleStatusDIO(KELVO_HANDLE handle, uint32_t* count) {
    return MemStatus(UnitCall(handle), count);
}
KELVO_API uint8_t KELVO_CALL Kelvo_MemSampleStatusAIO(KELVO_HANDLE handle, uint32_t* count) {
    return MemStatus(UnitCall(handle), count);
}
KELVO_API uint16_t KELVO_CALL Kelvo_MemSeekDIO(KELVO_HANDLE handle, uint32_t position) {
    return MemSeek(UnitCall(handle), position);
}
KELVO_API uint16_t KELVO_CALL Kelvo_MemSeekAIO(KELVO_HANDLE handle, uint32_t position) {
    return MemSeek(UnitCall(handle), position);
}
KELVO_API uint16_t KELVO_CALL Kelvo_MemReadDIO(KELVO_HANDLE handle, uint32_t length,
                                               uint8_t* buffer) {
    return MemRead(UnitCall(handle), length, buffer, CHUNK_FIRST);
}
KELVO_API uint16_t KELVO_CALL Kelvo_MemWriteDIO(KELVO_HANDLE handle, uint32_t length,
                                                const uint8_t* buffer) {
    return MemWrite(UnitCall(handle), length, buffer, CHUNK_FIRST);
}
KELVO_API uint16_t KELVO_CALL Kelvo_MemSeekReadDIO(KELVO_HANDLE handle, uint32_t length,
                                                   uint8_t* buffer) {
    return MemRead(UnitCall(handle), length, buffer, 0);
}
KELVO_API uint16_t KELVO_CALL Kelvo_MemSeekWriteDIO(KELVO_HANDLE handle, uint32_t length,
                                                    const uint8_t* buffer) {
    return MemWrite(UnitCall(handle), length, buffer, 0);
}

}  // extern "C"
