#include "protocol/builders.h"

#include <algorithm>
#include <cstring>

#include "protocol/exchange.h"

namespace kelvo {
namespace {

constexpr std::uint8_t MAX_SHORT_DATA = SHORT_REQUEST - frame::DATA;  // 8
constexpr std::uint8_t MAX_DATA = frame::DATA_SIZE;                   // 240

// Clears the part of the frame an exchange uses, bytes 0 to used - 1 (the
// request it sends and the reply bytes it reads back), and writes a request
// header:
//   byte 0 command, 1 status (0), 2 sequence (set by Exchange),
//   3 selector, 4 length, 5..7 zero.
// The rest of the frame is neither sent nor read by that exchange.
std::uint8_t* Begin(Connection& entry, std::uint8_t command, std::uint8_t selector,
                    std::uint8_t length, std::size_t used) {
    std::uint8_t* f = entry.frame.data();
    std::memset(f, 0, used);
    f[frame::COMMAND] = command;
    f[frame::SELECTOR] = selector;
    f[frame::LENGTH] = length;
    return f;
}

Status Write(Connection& entry, std::uint8_t n, const std::uint8_t* data, std::uint8_t selector,
             std::uint32_t mask, bool longMaskMode) {
    const bool maskMode = selector == SELECT_ALL;
    const std::size_t length = (maskMode && longMaskMode) ? MASK_WRITE_REQUEST : SHORT_REQUEST;
    if (n > (longMaskMode ? MAX_DATA : MAX_SHORT_DATA)) return STATUS_BAD_CHANNEL;
    std::uint8_t* f = Begin(entry, CMD_WRITE, selector, 0, length);
    if (maskMode) putLE32(f + frame::MASK, mask);  // channel mask, bytes 8..11
    std::memcpy(f + frame::DATA, data, n);
    return Exchange(entry, length);
}

// The chunk flag: CHUNK_LAST when this chunk ends the transfer, else the
// caller's flag on the first chunk and 0 on those in between.
std::uint8_t ChunkFlag(bool first, bool last, std::uint8_t flag) {
    return last ? CHUNK_LAST : (first ? flag : 0);
}

}  // namespace

void InfoRequest(CommandFrame& frame, std::uint8_t ask) {
    frame.fill(0);
    frame[frame::COMMAND] = CMD_INFO;
    frame[frame::LENGTH] = ask;
}

Status Configure(Connection& entry, std::uint8_t n, std::uint8_t channel,
                 const std::uint8_t* bytes) {
    if (n > MAX_SHORT_DATA) return STATUS_BAD_CHANNEL;
    std::uint8_t* f = Begin(entry, CMD_CONFIG, channel, 0, SHORT_REQUEST);
    std::memcpy(f + frame::DATA, bytes, n);
    return Exchange(entry, SHORT_REQUEST);
}

Status ReadPorts(Connection& entry, std::uint8_t n, std::uint8_t* destination) {
    if (n > MAX_DATA) return STATUS_BAD_CHANNEL;
    Begin(entry, CMD_READ, SELECT_ALL, n, frame::DATA + n);
    // The reply must bring the n bytes read from byte 16.
    const Status status = Exchange(entry, frame::HEADER_SIZE, frame::DATA + n);
    if (status == STATUS_OK) std::memcpy(destination, entry.frame.data() + frame::DATA, n);
    return status;
}

Status WritePorts(Connection& entry, std::uint8_t n, const std::uint8_t* values,
                  const std::uint8_t* masks) {
    if (n > frame::MASK_SIZE) return STATUS_BAD_CHANNEL;
    std::uint8_t* f = Begin(entry, CMD_WRITE, SELECT_ALL, 0, SHORT_REQUEST);
    std::memcpy(f + frame::MASK, masks, n);
    std::memcpy(f + frame::DATA, values, n);
    return Exchange(entry, SHORT_REQUEST);
}

Status SetDirections(Connection& entry, std::uint8_t n, const std::uint8_t* directions) {
    if (n > frame::MASK_SIZE) return STATUS_BAD_CHANNEL;
    std::uint8_t* f = Begin(entry, CMD_CONFIG, SELECT_ALL, 0, SHORT_REQUEST);
    std::memset(f + frame::MASK, 0xFF, n);  // select ports 0..n-1
    std::memcpy(f + frame::DATA, directions, n);
    return Exchange(entry, SHORT_REQUEST);
}

Status ReadChannels(Connection& entry, std::uint8_t n, std::uint8_t* destination,
                    std::uint8_t selector) {
    if (n > MAX_DATA) return STATUS_BAD_CHANNEL;
    std::memset(destination, 0, n);
    // All-channels mode sends the bare header: the unit answers with every
    // channel's 4-byte value and the caller picks its channels.
    Begin(entry, CMD_READ, selector, n, frame::DATA + n);
    const Status status = Exchange(entry, frame::HEADER_SIZE, frame::DATA + n);
    if (status == STATUS_OK) std::memcpy(destination, entry.frame.data() + frame::DATA, n);
    return status;
}

Status WriteChannels(Connection& entry, std::uint8_t n, const std::uint8_t* data,
                     std::uint8_t selector, std::uint32_t mask) {
    return Write(entry, n, data, selector, mask, true);
}

Status WriteCounters(Connection& entry, std::uint8_t n, const std::uint8_t* data,
                     std::uint8_t selector, std::uint32_t mask) {
    return Write(entry, n, data, selector, mask, false);
}

// Chunked read. The frame is cleared once: a later chunk request carries the
// previous reply's bytes 1, 3 and 6..7, which lets a unit keep its place.
//
//   request  19 00 s .. c f .. ..          (8 bytes)
//   reply    99 00 s .. .. .. .. .. data[c] (data from byte 8)
Status TransferRead(Connection& entry, std::uint32_t total, std::uint8_t* destination,
                    std::uint8_t flag) {
    std::uint8_t* f = entry.frame.data();
    std::memset(f, 0, FRAME_SIZE);
    for (std::uint32_t done = 0; done < total;) {
        const auto chunk =
            static_cast<std::uint8_t>(std::min<std::uint32_t>(frame::CHUNK_SIZE, total - done));
        f[frame::COMMAND] = CMD_MEM_READ;
        f[frame::LENGTH] = chunk;
        f[frame::FLAGS] = ChunkFlag(done == 0, done + chunk == total, flag);
        if (Exchange(entry, frame::HEADER_SIZE, frame::HEADER_SIZE + chunk) != STATUS_OK) {
            return STATUS_COMM_ERROR;
        }
        std::memcpy(destination + done, f + frame::HEADER_SIZE, chunk);
        done += chunk;
    }
    return STATUS_OK;
}

// Chunked write: every chunk is a whole 256-byte frame, data from byte 8.
Status TransferWrite(Connection& entry, std::uint32_t total, const std::uint8_t* source,
                     std::uint8_t flag) {
    for (std::uint32_t done = 0; done < total;) {
        const auto chunk =
            static_cast<std::uint8_t>(std::min<std::uint32_t>(frame::CHUNK_SIZE, total - done));
        std::uint8_t* f = Begin(entry, CMD_MEM_WRITE, 0, chunk, FRAME_SIZE);
        f[frame::FLAGS] = ChunkFlag(done == 0, done + chunk == total, flag);
        std::memcpy(f + frame::HEADER_SIZE, source + done, chunk);
        if (Exchange(entry, FRAME_SIZE) != STATUS_OK) return STATUS_COMM_ERROR;
        done += chunk;
    }
    return STATUS_OK;
}

}  // namespace kelvo
