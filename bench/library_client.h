// The library under test, reached through its public C interface only.
#pragma once

#include <cstdint>
#include <string>

#include "kelvo.h"

namespace bench {

class LibraryClient {
  public:
    LibraryClient() = default;
    LibraryClient(const LibraryClient&) = delete;
    LibraryClient& operator=(const LibraryClient&) = delete;
    ~LibraryClient();

    // Gets handles without broadcasting: a device list in mode 1 (file only)
    // names a KV-103 (digital) and a KV-109 (analog, 16 inputs) at address,
    // WINDIR points the library at it, Kelvo_Initial reads it, and both units
    // are opened. False, with a reason in *why, on failure.
    bool open(const char* address, std::string* why);

    bool readDIO(std::uint8_t* value) {
        return Kelvo_ReadDIO(digital_, 0, value) == KELVO_STATUS_OK;
    }
    bool multiReadAIO(std::int32_t* values) {
        return Kelvo_MultiReadAIO(analog_, CHANNELS, channels_, values) == KELVO_STATUS_OK;
    }
    bool memRead(std::uint32_t total, std::uint8_t* destination) {
        return Kelvo_MemReadDIO(digital_, total, destination) == KELVO_STATUS_OK;
    }

    static constexpr std::uint32_t CHANNELS = 16;

  private:
    KELVO_HANDLE digital_ = nullptr;
    KELVO_HANDLE analog_ = nullptr;
    std::uint8_t channels_[CHANNELS] = {};
    std::string dir_;
};

}  // namespace bench
