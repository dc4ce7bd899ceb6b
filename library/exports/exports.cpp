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
std::uint16_t Word(std::uint32_t v) {
    return static_cast<std::uint16_t>(v);
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
    return BrowseDevice(ListCall().get(), Bytes(summaries));
}

KELVO_API int32_t KELVO_CALL Kelvo_BrowseDeviceIndex(int32_t index, KelvoDeviceSummary* summary) {
    return BrowseDeviceIndex(ListCall().get(), static_cast<std::int16_t>(index), Bytes(summary));
}

KELVO_API KELVO_HANDLE KELVO_CALL Kelvo_Open(uint32_t modelCode, uint32_t unitId) {
    return Open(ListCall().get(), Byte(modelCode), Byte(unitId));
}

KELVO_API KELVO_HANDLE KELVO_CALL Kelvo_OpenByIP(const char* ipAddress) {
    return OpenByIP(ListCall().get(), ipAddress);
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

KELVO_API uint16_t KELVO_CALL Kelvo_SetMemSamplingCycleDIO(KELVO_HANDLE handle, uint32_t timing,
                                                           uint32_t cycle) {
    return SetCycle(UnitCall(handle), SETTING_SAMPLINGCYCLE_DIO, Byte(timing), Byte(cycle));
}

KELVO_API uint16_t KELVO_CALL Kelvo_GetMemSamplingCycleDIO(KELVO_HANDLE handle, uint8_t* timing,
                                                           uint8_t* cycle) {
    return GetCycle(UnitCall(handle), SETTING_SAMPLINGCYCLE_DIO, timing, cycle);
}

KELVO_API uint16_t KELVO_CALL Kelvo_SetMemSamplingCycleAI(KELVO_HANDLE handle, uint32_t timing,
                                                          uint32_t cycle) {
    return SetCycle(UnitCall(handle), SETTING_SAMPLINGCYCLE_AI, Byte(timing), Byte(cycle));
}

KELVO_API uint16_t KELVO_CALL Kelvo_GetMemSamplingCycleAI(KELVO_HANDLE handle, uint8_t* timing,
                                                          uint8_t* cycle) {
    return GetCycle(UnitCall(handle), SETTING_SAMPLINGCYCLE_AI, timing, cycle);
}

KELVO_API uint16_t KELVO_CALL Kelvo_SetMemTriggerDIO(KELVO_HANDLE handle, uint32_t lower,
                                                     uint32_t upper, uint32_t value) {
    return SetTrigger(UnitCall(handle), SETTING_TRIGGER_DIO, Byte(lower | upper), Word(value));
}

KELVO_API uint16_t KELVO_CALL Kelvo_GetMemTriggerDIO(KELVO_HANDLE handle, uint8_t* lower,
                                                     uint8_t* upper, uint16_t* value) {
    return GetTrigger(UnitCall(handle), SETTING_TRIGGER_DIO, lower, upper, value);
}

KELVO_API uint16_t KELVO_CALL Kelvo_SetMemTriggerAIO(KELVO_HANDLE handle, uint32_t lower,
                                                     uint32_t upper, uint32_t value) {
    return SetTrigger(UnitCall(handle), SETTING_TRIGGER_AIO, Byte(lower | upper), Word(value));
}

KELVO_API uint16_t KELVO_CALL Kelvo_GetMemTriggerAIO(KELVO_HANDLE handle, uint8_t* lower,
                                                     uint8_t* upper, uint16_t* value) {
    return GetTrigger(UnitCall(handle), SETTING_TRIGGER_AIO, lower, upper, value);
}

KELVO_API uint16_t KELVO_CALL Kelvo_SetMemTrgDataDIO(KELVO_HANDLE handle, uint32_t /*count*/,
                                                     const uint8_t* data1, const uint8_t* data2) {
    return SetTrgDataDIO(UnitCall(handle), data1, data2);
}

KELVO_API uint16_t KELVO_CALL Kelvo_GetMemTrgDataDIO(KELVO_HANDLE handle, const uint8_t* count,
                                                     uint8_t* data1, uint8_t* data2) {
    return GetTrgDataDIO(UnitCall(handle), count, data1, data2);
}

KELVO_API uint16_t KELVO_CALL Kelvo_SetMemTrgDataAI(KELVO_HANDLE handle, uint32_t channel,
                                                    uint32_t data) {
    return SetTrgDataAI(UnitCall(handle), Byte(channel), Byte(data));
}

KELVO_API uint16_t KELVO_CALL Kelvo_GetMemTrgDataAI(KELVO_HANDLE handle, uint8_t* channel,
                                                    uint8_t* data) {
    return GetTrgDataAI(UnitCall(handle), channel, data);
}

KELVO_API uint16_t KELVO_CALL Kelvo_SetMemOutputModeAO(KELVO_HANDLE handle, uint32_t mode) {
    return SetOutputModeAO(UnitCall(handle), Byte(mode));
}

KELVO_API uint16_t KELVO_CALL Kelvo_GetMemOutputModeAO(KELVO_HANDLE handle, uint8_t* mode) {
    return GetOutputModeAO(UnitCall(handle), mode);
}

KELVO_API uint16_t KELVO_CALL Kelvo_SetMemTargetChannelAI(KELVO_HANDLE handle, uint32_t count,
                                                          const uint8_t* channels) {
    return SetTargetChannelAI(UnitCall(handle), Byte(count), channels);
}

KELVO_API uint16_t KELVO_CALL Kelvo_SetMemSamplingFreqAO(KELVO_HANDLE handle, uint32_t timing,
                                                         uint32_t frequency) {
    return SetSamplingFreqAO(UnitCall(handle), Byte(timing), frequency);
}

KELVO_API uint16_t KELVO_CALL Kelvo_GetMemSamplingFreqAO(KELVO_HANDLE handle, uint8_t* timing,
                                                         uint32_t* frequency) {
    return GetSamplingFreqAO(UnitCall(handle), timing, frequency);
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
