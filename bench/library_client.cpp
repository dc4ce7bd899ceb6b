#include "library_client.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace bench {
namespace {
constexpr std::uint32_t DIGITAL_MODEL = 3;  // KV-103
constexpr std::uint32_t ANALOG_MODEL = 9;   // KV-109
constexpr std::uint32_t UNIT_ID = 1;
}  // namespace

LibraryClient::~LibraryClient() {
    if (digital_) Kelvo_Close(digital_);
    if (analog_) Kelvo_Close(analog_);
    if (dir_.empty()) return;
    std::remove((dir_ + "/Kelvo.ini").c_str());
    ::rmdir(dir_.c_str());
}

bool LibraryClient::open(const char* address, std::string* why) {
    for (std::uint32_t i = 0; i < CHANNELS; ++i) channels_[i] = static_cast<std::uint8_t>(i);
    char pattern[] = "/tmp/kelvo-bench.XXXXXX";
    if (!::mkdtemp(pattern)) {
        *why = "mkdtemp failed";
        return false;
    }
    dir_ = pattern;
    const std::string path = dir_ + "/Kelvo.ini";
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) {
        *why = "cannot write " + path;
        return false;
    }
    std::fprintf(f, "1\r\nbench-dio,%u,%u,%s,02-00-00-00-00-01,0\r\n", DIGITAL_MODEL, UNIT_ID,
                 address);
    std::fprintf(f, "bench-aio,%u,%u,%s,02-00-00-00-00-02,0\r\n", ANALOG_MODEL, UNIT_ID, address);
    if (std::fclose(f) != 0) {
        *why = "cannot write " + path;
        return false;
    }
    ::setenv("WINDIR", dir_.c_str(), 1);
    const std::int32_t units = Kelvo_Initial();
    if (units != 2) {
        *why = "Kelvo_Initial found " + std::to_string(units) + " units in " + path + ", not 2";
        return false;
    }
    digital_ = Kelvo_Open(DIGITAL_MODEL, UNIT_ID);
    analog_ = Kelvo_Open(ANALOG_MODEL, UNIT_ID);
    if (!digital_ || !analog_) {
        *why = std::string("Kelvo_Open refused: is the peer listening on ") + address + ":10001?";
        return false;
    }
    return true;
}

}  // namespace bench
