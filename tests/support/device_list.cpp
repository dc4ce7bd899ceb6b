#include "support/device_list.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <unistd.h>

#include <cstdlib>
#endif

#include <cstdio>
#include <stdexcept>

#include "support/library.h"

namespace kelvotest {
namespace {

#if defined(_WIN32)
constexpr char SEPARATOR = '\\';

void setVariable(const std::string& name, const std::string& value) {
    ::SetEnvironmentVariableA(name.c_str(), value.empty() ? nullptr : value.c_str());
}

std::string makeDirectory() {
    char dir[MAX_PATH + 1] = {};
    const UINT n = ::GetWindowsDirectoryA(dir, sizeof dir);
    if (n == 0 || n > MAX_PATH) throw std::runtime_error("GetWindowsDirectoryA failed");
    return dir;
}
#else
constexpr char SEPARATOR = '/';

// Removes the private directory when the process ends.
struct TempDirectory {
    std::string path;
    ~TempDirectory() {
        if (path.empty()) return;
        std::remove((path + "/Kelvo.ini").c_str());
        ::rmdir(path.c_str());
    }
};

void setVariable(const std::string& name, const std::string& value) {
    if (value.empty()) {
        ::unsetenv(name.c_str());
    } else {
        ::setenv(name.c_str(), value.c_str(), 1);
    }
}

std::string makeDirectory() {
    static TempDirectory dir;
    char pattern[] = "/tmp/kelvo-tests.XXXXXX";
    if (!::mkdtemp(pattern)) throw std::runtime_error("mkdtemp failed");
    dir.path = pattern;
    ::setenv("WINDIR", pattern, 1);
    return dir.path;
}
#endif

std::string listPath() {
    return windowsDirectory() + SEPARATOR + "Kelvo.ini";
}

}  // namespace

const std::string& windowsDirectory() {
    static const std::string dir = makeDirectory();
    return dir;
}

std::string inWindowsDirectory(const std::string& name) {
    return windowsDirectory() + SEPARATOR + name;
}

void setEnvironment(const std::string& name, const std::string& value) {
    setVariable(name, value);
}

void writeDeviceList(const std::string& text) {
    const std::string path = listPath();
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) throw std::runtime_error("cannot write " + path);
    const bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    if (std::fclose(f) != 0 || !ok) throw std::runtime_error("cannot write " + path);
}

void removeDeviceList() {
    std::remove(listPath().c_str());
}

std::string deviceLine(const std::string& address, int model, int unitId, int aux) {
    char mac[32];
    std::snprintf(mac, sizeof mac, "02-00-00-00-%02x-%02x", model & 0xFF, unitId & 0xFF);
    return "unit," + std::to_string(model) + "," + std::to_string(unitId) + "," + address + "," +
           mac + "," + std::to_string(aux);
}

int forgetAllUnits() {
    writeDeviceList("1\r\n");
    return lib().Initial();
}

}  // namespace kelvotest
