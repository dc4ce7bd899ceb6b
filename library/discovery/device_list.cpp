#include "discovery/device_list.h"

#include <cstring>

#include "protocol/trace.h"

namespace kelvo {
namespace {

// A piece of text that is not NUL-terminated.
struct Span {
    const char* begin;
    const char* end;
    bool empty() const { return begin == end; }
};

bool IsSpace(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Reads an integer the way "%d" or "%x" does: leading white space, a sign,
// (for hex) an optional 0x, then at least one digit. Values wrap modulo 2^32
// instead of overflowing. Advances `at` past what was read.
bool ParseNumber(const char*& at, const char* end, int base, std::uint32_t& value) {
    const char* p = at;
    while (p < end && IsSpace(*p)) ++p;
    bool negative = false;
    if (p < end && (*p == '+' || *p == '-')) negative = *p++ == '-';
    if (base == 16 && end - p > 2 && p[0] == '0' && (p[1] == 'x' || p[1] == 'X') &&
        HexDigit(p[2]) >= 0) {
        p += 2;
    }
    std::uint32_t v = 0;
    const char* digits = p;
    for (int d; p < end && (d = HexDigit(*p)) >= 0 && d < base; ++p) {
        v = v * static_cast<std::uint32_t>(base) + static_cast<std::uint32_t>(d);
    }
    if (p == digits) return false;
    value = negative ? 0u - v : v;
    at = p;
    return true;
}

bool ParseByte(Span field, std::uint8_t& out) {
    std::uint32_t v;
    const char* p = field.begin;
    if (!ParseNumber(p, field.end, 10, v)) return false;
    out = static_cast<std::uint8_t>(v);  // the low 8 bits: "300" is 44
    return true;
}

// Six hexadecimal numbers joined by '-'; all six or nothing.
bool ParseMac(Span field, std::array<std::uint8_t, 6>& mac) {
    std::array<std::uint8_t, 6> parsed{};
    const char* p = field.begin;
    for (std::size_t i = 0; i < parsed.size(); ++i) {
        if (i > 0 && (p == field.end || *p++ != '-')) return false;
        std::uint32_t v;
        if (!ParseNumber(p, field.end, 16, v)) return false;
        parsed[i] = static_cast<std::uint8_t>(v);
    }
    mac = parsed;
    return true;
}

std::uint32_t ParseAddress(Span field) {
    char text[64];
    const auto length = static_cast<std::size_t>(field.end - field.begin);
    if (length >= sizeof text) return 0xFFFFFFFF;  // no dotted address is this long
    std::memcpy(text, field.begin, length);
    text[length] = '\0';
    return platform::parseAddress(text);
}

// One unit per line: name, model code, unit ID, address, MAC, aux byte.
// Fields that are missing or hold no number keep the values of a new entry.
void AddDevice(DeviceRegistry& registry, Span line) {
    constexpr int FIELDS = 6;
    Span fields[FIELDS];
    int count = 0;
    for (const char* start = line.begin; count < FIELDS;) {
        const char* comma = static_cast<const char*>(
            std::memchr(start, ',', static_cast<std::size_t>(line.end - start)));
        fields[count++] = {start, comma ? comma : line.end};
        if (!comma) break;
        start = comma + 1;
    }
    auto field = [&](int number) { return number <= count ? fields[number - 1] : Span{}; };

    DeviceEntry* entry = DeviceRegistry::NewEntry();
    if (!entry) return;
    if (!field(4).empty()) entry->address = ParseAddress(field(4));
    ParseMac(field(5), entry->mac);
    ParseByte(field(2), entry->model);
    ParseByte(field(3), entry->unitId);
    ParseByte(field(6), entry->aux);
    registry.Append(entry);
}

}  // namespace

void ParseDeviceList(DeviceRegistry& registry, const char* text) {
    const char* const end = text + std::strlen(text);
    const char* line = text;
    for (;;) {
        const char* crlf = std::strstr(line, "\r\n");
        if (!crlf) break;  // a last line without CR LF is not read
        if (registry.mode == MODE_UNSET) {
            std::uint32_t mode;
            const char* p = line;
            if (!ParseNumber(p, crlf, 10, mode)) break;  // not a number: mode 0
            registry.mode = static_cast<std::int32_t>(mode);
            // Mode 0 lists no units; mode -1 asks for another mode line.
            if (registry.mode == MODE_BROADCAST_ONLY) break;
        } else {
            AddDevice(registry, {line, crlf});
        }
        line = crlf + 2;
        if (line > end) break;
    }
}

void ReadDeviceList(DeviceRegistry& registry, const char* fileName) {
    registry.mode = MODE_UNSET;
    std::uint32_t size = 0;
    char* text = nullptr;
    const platform::TextFile read =
        platform::readTextFile(fileName, DEVICE_LIST_MAX_BYTES, &text, &size);
    if (read == platform::TextFile::TEXT_READ) {
        ParseDeviceList(registry, text);
        platform::releaseText(text);
    } else if (trace::On()) {
        trace::DeviceListRefused(fileName, read, DEVICE_LIST_MAX_BYTES);
    }
    if (registry.mode == MODE_UNSET) registry.mode = MODE_BROADCAST_ONLY;
}

}  // namespace kelvo
