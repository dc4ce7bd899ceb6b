// The unit's 256-byte command frame: layout, command codes, status codes and
// the little-endian helpers every request and reply is built with.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "kelvo.h"

namespace kelvo {

inline constexpr std::size_t FRAME_SIZE = 256;
using CommandFrame = std::array<std::uint8_t, FRAME_SIZE>;

// Byte offsets inside a frame. A request is the first N bytes; the reply is
// received over it in place.
namespace frame {
inline constexpr std::size_t COMMAND = 0;   // request code; reply: code | 0x80
inline constexpr std::size_t STATUS = 1;    // 0 in requests; a reply must carry 0
inline constexpr std::size_t SEQUENCE = 2;  // echoed by the unit
inline constexpr std::size_t SELECTOR = 3;  // port/channel, 0xFF = all / mask mode
inline constexpr std::size_t LENGTH = 4;    // bytes asked for, or chunk length
inline constexpr std::size_t FLAGS = 5;     // chunk flags of memory transfers
inline constexpr std::size_t MASK = 8;      // 8 mask bytes, or payload start
inline constexpr std::size_t DATA = 16;     // data area, 240 bytes
inline constexpr std::size_t HEADER_SIZE = 8;
// The reply bytes every exchange checks (command, status, sequence): the
// least a reply must bring, also to writes and configuration.
inline constexpr std::size_t CHECKED_SIZE = 3;
inline constexpr std::size_t MASK_SIZE = 8;
inline constexpr std::size_t DATA_SIZE = FRAME_SIZE - DATA;          // 240
inline constexpr std::size_t CHUNK_SIZE = FRAME_SIZE - HEADER_SIZE;  // 248
inline constexpr std::uint8_t REPLY_BIT = 0x80;
}  // namespace frame

inline constexpr std::uint8_t CMD_READ = 0x11;
inline constexpr std::uint8_t CMD_INFO = 0x12;
inline constexpr std::uint8_t CMD_MEM_READ = 0x19;
inline constexpr std::uint8_t CMD_MEM_STATUS = 0x1B;
inline constexpr std::uint8_t CMD_WRITE = 0x21;
inline constexpr std::uint8_t CMD_CONFIG = 0x24;
inline constexpr std::uint8_t CMD_MEM_WRITE = 0x29;
inline constexpr std::uint8_t CMD_MEM_CONTROL = 0x2B;

// Request lengths on the wire. Reads, identification, version, memory status
// and memory reads are the bare 8-byte header; a memory write is a whole frame.
// A write or configuration is 24 bytes: header, 8 mask bytes (8..15), 8 data
// bytes (16..23). The analog write in channel-mask mode (CMD_WRITE, selector
// 0xFF) is 80: header, the channel mask (bytes 8..11), 64 data bytes from 16.
inline constexpr std::size_t SHORT_REQUEST = 24;
inline constexpr std::size_t MASK_WRITE_REQUEST = 80;

// CMD_INFO byte 4 = 9 asks for version data instead of identification.
inline constexpr std::uint8_t INFO_VERSION = 9;

// Identification reply: model code, aux byte and unit ID.
namespace ident {
inline constexpr std::size_t MODEL = 16;
inline constexpr std::size_t AUX = 17;
inline constexpr std::size_t UNIT_ID = 18;
}  // namespace ident

// Version reply fields.
namespace version_reply {
inline constexpr std::size_t MAJOR = 19;
inline constexpr std::size_t MINOR = 20;
inline constexpr std::size_t YEAR = 21;
inline constexpr std::size_t MONTH = 22;
inline constexpr std::size_t DAY = 23;
inline constexpr std::size_t INFO = 24;
}  // namespace version_reply

// Chunk flags (byte 5) of memory transfers.
inline constexpr std::uint8_t CHUNK_FIRST = 0x80;  // the caller's flag of a read/write
inline constexpr std::uint8_t CHUNK_LAST = 0x40;

// Sampling control (byte 8 of CMD_MEM_CONTROL) and status.
inline constexpr std::uint8_t MEM_CONTROL_START = 1;
inline constexpr std::uint8_t MEM_CONTROL_STOP = 2;
inline constexpr std::uint8_t MEM_CONTROL_SEEK = 16;
inline constexpr std::size_t MEM_CONTROL_SIZE = 36;   // the length of every CMD_MEM_CONTROL
inline constexpr std::size_t MEM_SEEK_POSITION = 16;  // 4 bytes, little-endian
inline constexpr std::uint8_t MEM_STATUS_ASK = 24;    // byte 4 of CMD_MEM_STATUS
inline constexpr std::size_t MEM_STATUS_BYTE = 8;
inline constexpr std::size_t MEM_STATUS_COUNT = 10;  // 16-bit, units of 4096 bytes
inline constexpr unsigned MEM_COUNT_SHIFT = 12;

inline constexpr std::uint16_t COMMAND_PORT = 10001;
inline constexpr std::uint16_t DISCOVERY_PORT = 30718;
inline constexpr std::int32_t REPLY_TIMEOUT_MS = KELVO_REPLY_TIMEOUT_MS;
inline constexpr std::int32_t CONNECT_TIMEOUT_MS = KELVO_CONNECT_TIMEOUT_MS;
static_assert(CONNECT_TIMEOUT_MS > 0 && CONNECT_TIMEOUT_MS <= REPLY_TIMEOUT_MS);

// Discovery: a 4-byte query; answers carry the MAC at bytes 24..29 of a
// 64-byte receive buffer.
inline constexpr std::array<std::uint8_t, 4> DISCOVERY_QUERY{0x00, 0x00, 0x00, 0xF6};
inline constexpr std::size_t DISCOVERY_BUFFER_SIZE = 64;
inline constexpr std::size_t DISCOVERY_MAC = 24;

// Status codes of the I/O, configuration and sampling operations.
using Status = std::uint16_t;
inline constexpr Status STATUS_OK = 0x0000;
inline constexpr Status STATUS_NO_MEMORY = 0x8008;
inline constexpr Status STATUS_NOT_OPEN = 0x8010;
inline constexpr Status STATUS_COMM_ERROR = 0x8011;
inline constexpr Status STATUS_BAD_SETTING = 0x8020;
inline constexpr Status STATUS_BAD_CHANNEL = 0x8021;

// Little-endian helpers.
inline void putLE16(std::uint8_t* p, std::uint16_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}
inline void putLE32(std::uint8_t* p, std::uint32_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
    p[2] = static_cast<std::uint8_t>(v >> 16);
    p[3] = static_cast<std::uint8_t>(v >> 24);
}
inline std::uint16_t getLE16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
inline std::uint32_t getLE32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

}  // namespace kelvo
