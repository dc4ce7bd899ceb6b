// The library as its callers meet it: loaded by name at run time, every
// export resolved by name. The test program does not link against it.
#pragma once

#include "kelvo.h"

namespace kelvotest {

// Every export, named without its "Kelvo_" prefix.
#define KELVOTEST_EXPORTS(X)  \
    X(Initial)                \
    X(BrowseDevice)           \
    X(BrowseDeviceIndex)      \
    X(Open)                   \
    X(OpenByIP)               \
    X(Close)                  \
    X(Access)                 \
    X(GetVerInfo)             \
    X(ReadDIO)                \
    X(WriteDIO)               \
    X(MultiReadDIO)           \
    X(MultiWriteDIO)          \
    X(SetChDirDIO)            \
    X(ReadAIO)                \
    X(WriteAIO)               \
    X(MultiReadAIO)           \
    X(MultiWriteAIO)          \
    X(SetGainAIO)             \
    X(ReadCOU)                \
    X(WriteCOU)               \
    X(SetModeCOU)             \
    X(SetMemSamplingCycleDIO) \
    X(GetMemSamplingCycleDIO) \
    X(SetMemTrgDataDIO)       \
    X(GetMemTrgDataDIO)       \
    X(SetMemTriggerDIO)       \
    X(GetMemTriggerDIO)       \
    X(SetMemSamplingCycleAI)  \
    X(GetMemSamplingCycleAI)  \
    X(SetMemOutputModeAO)     \
    X(GetMemOutputModeAO)     \
    X(SetMemTargetChannelAI)  \
    X(SetMemSamplingFreqAO)   \
    X(GetMemSamplingFreqAO)   \
    X(SetMemTrgDataAI)        \
    X(GetMemTrgDataAI)        \
    X(SetMemTriggerAIO)       \
    X(GetMemTriggerAIO)       \
    X(MemStartDIO)            \
    X(MemStopDIO)             \
    X(MemSampleStatusDIO)     \
    X(MemSeekDIO)             \
    X(MemReadDIO)             \
    X(MemWriteDIO)            \
    X(MemSeekReadDIO)         \
    X(MemSeekWriteDIO)        \
    X(MemStartAIO)            \
    X(MemStopAIO)             \
    X(MemSampleStatusAIO)     \
    X(MemSeekAIO)             \
    X(MemReadAIO)             \
    X(MemWriteAIO)            \
    X(MemSeekReadAIO)         \
    X(MemSeekWriteAIO)

struct Library {
#define KELVOTEST_MEMBER(name) decltype(&::Kelvo_##name) name = nullptr;
    KELVOTEST_EXPORTS(KELVOTEST_MEMBER)
#undef KELVOTEST_MEMBER
};

inline constexpr int EXPORT_COUNT = 54;

// Loads the library once per process: "libkelvo.so" or "KelvoDLL.dll" from
// the test program's own directory. Throws std::runtime_error, which fails
// the calling test, when the library cannot be loaded or lacks an export.
const Library& lib();

// The library loaded once more, for the tests of loading and unloading
// (null on failure), an export of it by name, and its unloading.
void* loadLibrary();
void* findExport(void* library, const char* name);
void unloadLibrary(void* library);

}  // namespace kelvotest
