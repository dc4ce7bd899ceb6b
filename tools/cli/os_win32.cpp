#include <fmt/format.h>
#include <windows.h>

#include <atomic>
#include <chrono>
#include <cstdlib>

#include "os.h"
#include "unit.h"

namespace kelvo_cli::os {

namespace {

std::atomic<bool> gInterrupted{false};

BOOL WINAPI onControl(DWORD type) {
    if (type == CTRL_C_EVENT || type == CTRL_BREAK_EVENT || type == CTRL_CLOSE_EVENT) {
        gInterrupted = true;
        return TRUE;
    }
    return FALSE;
}

}  // namespace

void catchInterrupts() {
    ::SetConsoleCtrlHandler(onControl, TRUE);
}

bool interrupted() {
    return gInterrupted;
}

// Ctrl+C arrives on another thread: sleep in short slices to notice it.
void sleepAtMost(unsigned ms) {
    ::Sleep(ms < 50 ? ms : 50);
}

std::string clockTime() {
    SYSTEMTIME t;
    ::GetLocalTime(&t);
    return fmt::format("{:02}:{:02}:{:02}.{:03}", t.wHour, t.wMinute, t.wSecond, t.wMilliseconds);
}

std::string isoTime() {
    SYSTEMTIME t;
    ::GetLocalTime(&t);
    TIME_ZONE_INFORMATION zone;
    const DWORD which = ::GetTimeZoneInformation(&zone);
    long bias = zone.Bias + (which == TIME_ZONE_ID_DAYLIGHT ? zone.DaylightBias : 0);
    const long offset = -bias;  // minutes east of UTC
    return fmt::format("{:04}-{:02}-{:02}T{:02}:{:02}:{:02}.{:03}{}{:02}:{:02}", t.wYear, t.wMonth,
                       t.wDay, t.wHour, t.wMinute, t.wSecond, t.wMilliseconds,
                       offset < 0 ? '-' : '+', std::labs(offset) / 60, std::labs(offset) % 60);
}

}  // namespace kelvo_cli::os
