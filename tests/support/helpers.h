// Small helpers shared by the discovery, connection and exchange tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "kelvo.h"
#include "support/fake_unit.h"

namespace kelvotest {

// "11 00 05 ff ..." (a '|' every 16 bytes), so that a mismatch shows where.
std::string hex(const Bytes& b);
Bytes bytesOf(const void* p, std::size_t n);

// A device list: modeLine, then each line, every one ending in CR LF.
std::string listText(std::initializer_list<std::string> lines, const std::string& modeLine = "1");

// Every record Kelvo_BrowseDevice writes, as raw bytes (21 per unit).
std::vector<Bytes> browseAll();

// The 8-byte read request of Kelvo_ReadDIO with sequence s, and a valid
// reply to it carrying port byte `value`.
Bytes readRequest(std::uint8_t s);
Bytes readReply(std::uint8_t s, std::uint8_t value);

// One fake unit at testAddress(n), listed alone in a file-only device list
// (no network traffic) and opened. handle is null if either step failed.
struct SoleUnit {
    explicit SoleUnit(int n, std::uint8_t model = 3, std::uint8_t unitId = 1);
    FakeUnit fake;
    KELVO_HANDLE handle = nullptr;
};

// A handle never handed out by the library.
KELVO_HANDLE strangeHandle();

}  // namespace kelvotest
