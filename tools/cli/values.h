// Parsing of the numbers and byte strings given on the command line, and the
// hex dump used to show memory and raw replies.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace kelvo_cli {

// A number in decimal or 0x hex (a leading '-' allowed when min < 0), within
// [min, max]. Throws CliError naming `what` otherwise: EXIT_USAGE for text
// that is no number, EXIT_REFUSED for a number out of range.
std::int64_t parseNumber(std::string_view text, std::int64_t min, std::int64_t max,
                         std::string_view what);

// Shorthands for the common ranges.
std::uint8_t parseByte(std::string_view text, std::string_view what);
std::int32_t parseInt32(std::string_view text, std::string_view what);
std::uint32_t parseUint32(std::string_view text, std::string_view what);

// Hex bytes: groups of hex digits separated by spaces, commas, colons or
// dashes, each optionally prefixed by 0x. A group of one digit is one byte,
// longer groups are split into pairs. "12 00 0a", "12000a", "0x12,0,a" are
// the same three bytes.
std::vector<std::uint8_t> parseHexBytes(std::string_view text);

// A hexdump -C style listing: offset, 16 bytes, printable characters.
std::string hexDump(const std::uint8_t* data, std::size_t size, std::uint32_t baseOffset = 0);

// "0x5A" style byte and its eight lines, most significant first.
std::string byteWithBits(std::uint8_t value);

// Opens a file for writing ("-": stdout, not with --json); throws CliError
// (EXIT_LOCAL) naming it when it cannot be created.
std::FILE* openOutput(const std::string& path, const char* mode);

// Lower-case hex digits, two per byte.
std::string hexString(const std::uint8_t* data, std::size_t size);

}  // namespace kelvo_cli
