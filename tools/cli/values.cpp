#include "values.h"

#include <fmt/format.h>

#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <limits>

#include "unit.h"

namespace kelvo_cli {

std::int64_t parseNumber(std::string_view text, std::int64_t min, std::int64_t max,
                         std::string_view what) {
    std::string_view digits = text;
    bool negative = false;
    if (!digits.empty() && digits.front() == '-' && min < 0) {
        negative = true;
        digits.remove_prefix(1);
    }
    int base = 10;
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
        base = 16;
        digits.remove_prefix(2);
    }
    // Parse the magnitude unsigned so that the lowest int64 is representable.
    std::uint64_t magnitude = 0;
    const char* end = digits.data() + digits.size();
    auto [ptr, ec] = std::from_chars(digits.data(), end, magnitude, base);
    const bool parsed = !digits.empty() && ec == std::errc() && ptr == end;
    if (!parsed && ec != std::errc::result_out_of_range) {
        throw CliError(EXIT_USAGE, fmt::format("bad {} '{}': expected a number (decimal or 0x hex)",
                                               what, text));
    }
    const auto limit = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    std::int64_t value = 0;
    bool inRange = parsed && magnitude <= limit;
    if (inRange) {
        value =
            negative ? -static_cast<std::int64_t>(magnitude) : static_cast<std::int64_t>(magnitude);
        inRange = value >= min && value <= max;
    }
    if (!inRange) {
        // Wide ranges read better in hex.
        const std::string high = max > 0xFFFF ? fmt::format("0x{:X}", max) : fmt::format("{}", max);
        throw CliError(EXIT_REFUSED,
                       fmt::format("{} {} out of range ({}..{})", what, text, min, high));
    }
    return value;
}

std::uint8_t parseByte(std::string_view text, std::string_view what) {
    return static_cast<std::uint8_t>(parseNumber(text, 0, 0xFF, what));
}

std::int32_t parseInt32(std::string_view text, std::string_view what) {
    return static_cast<std::int32_t>(parseNumber(text, std::numeric_limits<std::int32_t>::min(),
                                                 std::numeric_limits<std::int32_t>::max(), what));
}

std::uint32_t parseUint32(std::string_view text, std::string_view what) {
    return static_cast<std::uint32_t>(
        parseNumber(text, 0, std::numeric_limits<std::uint32_t>::max(), what));
}

namespace {

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool isSeparator(char c) {
    return c == ' ' || c == ',' || c == ':' || c == '-' || c == '\t';
}

}  // namespace

std::vector<std::uint8_t> parseHexBytes(std::string_view text) {
    std::vector<std::uint8_t> bytes;
    std::size_t i = 0;
    while (i < text.size()) {
        if (isSeparator(text[i])) {
            ++i;
            continue;
        }
        if (text[i] == '0' && i + 1 < text.size() && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
            i += 2;
        }
        // A group is a run of hex digits; it must hold whole bytes.
        const std::size_t start = i;
        while (i < text.size() && hexDigit(text[i]) >= 0) ++i;
        const std::size_t digits = i - start;
        // A lone digit is a byte of its own ("0x9", "9"); longer groups split into pairs.
        const bool whole = digits == 1 || (digits > 0 && digits % 2 == 0);
        if (!whole || (i < text.size() && !isSeparator(text[i]))) {
            throw CliError(EXIT_USAGE,
                           fmt::format("bad hex bytes '{}': expected pairs of hex digits, such as "
                                       "'12 00 00 00 09 00 00 00'",
                                       text));
        }
        if (digits == 1) {
            bytes.push_back(static_cast<std::uint8_t>(hexDigit(text[start])));
            continue;
        }
        for (std::size_t d = start; d < i; d += 2) {
            bytes.push_back(
                static_cast<std::uint8_t>(hexDigit(text[d]) * 16 + hexDigit(text[d + 1])));
        }
    }
    return bytes;
}

std::string hexDump(const std::uint8_t* data, std::size_t size, std::uint32_t baseOffset) {
    std::string out;
    for (std::size_t line = 0; line < size; line += 16) {
        out += fmt::format("{:08x} ", baseOffset + line);
        std::string text;
        for (std::size_t i = 0; i < 16; ++i) {
            if (i == 8) out += ' ';
            if (line + i < size) {
                const std::uint8_t b = data[line + i];
                out += fmt::format(" {:02x}", b);
                text += std::isprint(b) ? static_cast<char>(b) : '.';
            } else {
                out += "   ";
            }
        }
        out += fmt::format("  |{}|\n", text);
    }
    return out;
}

std::FILE* openOutput(const std::string& path, const char* mode) {
    if (path == "-" && session().json) {
        throw CliError(EXIT_USAGE, "--json takes stdout: give a file name instead of '-'");
    }
    std::FILE* file = path == "-" ? stdout : std::fopen(path.c_str(), mode);
    if (file == nullptr) {
        throw CliError(EXIT_LOCAL, fmt::format("cannot create {}: {}", path, std::strerror(errno)));
    }
    return file;
}

std::string hexString(const std::uint8_t* data, std::size_t size) {
    std::string out;
    out.reserve(2 * size);
    for (std::size_t i = 0; i < size; ++i) out += fmt::format("{:02x}", data[i]);
    return out;
}

std::string byteWithBits(std::uint8_t value) {
    return fmt::format("0x{:02X} {:08b}", value, value);
}

}  // namespace kelvo_cli
