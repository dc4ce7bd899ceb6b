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

std::string makePrivateDirectory() {
    char base[MAX_PATH + 1];
    const DWORD n = ::GetTempPathA(sizeof base, base);
    if (n == 0 || n > MAX_PATH) throw CliError(EXIT_LOCAL, "cannot find the temporary directory");
    for (unsigned attempt = 0; attempt < 100; ++attempt) {
        const std::string path =
            fmt::format("{}kelvo-{}-{}", base, ::GetCurrentProcessId(), ::GetTickCount() + attempt);
        if (::CreateDirectoryA(path.c_str(), nullptr)) return path;
        if (::GetLastError() != ERROR_ALREADY_EXISTS) break;
    }
    throw CliError(EXIT_LOCAL, "cannot make a private directory for the device list");
}

void removePrivateDirectory(const std::string& directory, const std::string& file) {
    ::DeleteFileA(file.c_str());
    ::RemoveDirectoryA(directory.c_str());
}

// The Windows library reads Kelvo.ini only from the Windows directory, which
// a program cannot redirect for itself.
// The library reads Kelvo.ini from KELVO_DEVICE_LIST_DIR when it is set.
void pointLibraryAt(const std::string& directory) {
    if (!::SetEnvironmentVariableA("KELVO_DEVICE_LIST_DIR", directory.c_str())) {
        throw CliError(EXIT_LOCAL, "cannot set KELVO_DEVICE_LIST_DIR for the device list");
    }
}

std::string joinPath(const std::string& directory, const std::string& name) {
    return directory + "\\" + name;
}

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
