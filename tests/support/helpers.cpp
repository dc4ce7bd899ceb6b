#include "support/helpers.h"

#include <cstring>

#include "support/device_list.h"
#include "support/library.h"

namespace kelvotest {

std::string hex(const Bytes& b) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (std::size_t i = 0; i < b.size(); ++i) {
        if (i != 0) s += (i % 16 == 0) ? '|' : ' ';
        s += digits[b[i] >> 4];
        s += digits[b[i] & 0x0F];
    }
    return s;
}

Bytes bytesOf(const void* p, std::size_t n) {
    const auto* b = static_cast<const std::uint8_t*>(p);
    return Bytes(b, b + n);
}

std::string listText(std::initializer_list<std::string> lines, const std::string& modeLine) {
    std::string text = modeLine + "\r\n";
    for (const std::string& line : lines) text += line + "\r\n";
    return text;
}

std::vector<Bytes> browseAll() {
    const int n = lib().BrowseDevice(nullptr);
    if (n <= 0) return {};
    std::vector<KelvoDeviceSummary> area(static_cast<std::size_t>(n));
    std::memset(area.data(), 0, area.size() * sizeof area[0]);
    const int written = lib().BrowseDevice(area.data());
    std::vector<Bytes> records;
    for (int i = 0; i < written && i < n; ++i) {
        records.push_back(bytesOf(&area[static_cast<std::size_t>(i)], sizeof area[0]));
    }
    return records;
}

Bytes readRequest(std::uint8_t s) {
    return Bytes{0x11, 0x00, s, 0xFF, 0x08, 0x00, 0x00, 0x00};
}

Bytes readReply(std::uint8_t s, std::uint8_t value) {
    Bytes r = FakeUnit::validReply(readRequest(s));
    r[16] = value;
    return r;
}

SoleUnit::SoleUnit(int n, std::uint8_t model, std::uint8_t unitId)
    : fake(testAddress(n), model, unitId) {
    writeDeviceList(listText({deviceLine(testAddress(n), model, unitId)}));
    if (lib().Initial() == 1) handle = lib().Open(model, unitId);
}

KELVO_HANDLE strangeHandle() {
    static int notAUnit[64] = {};
    return notAUnit;
}

}  // namespace kelvotest
