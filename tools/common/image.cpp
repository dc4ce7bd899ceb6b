#include "common/image.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>

#include "protocol/frame.h"

namespace kelvo::tools {
namespace {

constexpr std::uint8_t SELECT_ALL = 0xFF;
constexpr std::size_t PORT_IMAGE = 8;  // a digital unit's ports, 0..7

// Kelvo_Access copies back as many data bytes as the reply's byte 4 says and
// leaves the rest of the caller's buffer as it was: a reply with fewer data
// bytes than asked for would hand back the request's own bytes as values
// (0x11 as port 0, 0xFF as port 3, the count as port 4). Byte 2 of the
// buffer never goes on the wire (the library puts the unit's sequence number
// there), and neither does anything past the 8-byte header; those bytes hold
// a marker. When the last of them still holds its marker after the exchange,
// the reply stopped short of it, unless the unit's data happen to equal the
// marker there: a second read with another marker tells the two apart.
// A reply cut short within bytes 3..7 of a digital image leaves bytes that a
// unit may also report; the library's own check of the reply length covers it.
std::uint8_t Marker(std::size_t position, std::uint8_t seed) {
    return static_cast<std::uint8_t>(seed ^ (position * 0x3B));
}

// One read; true when the data reached the last marked byte.
bool ReadOnce(KELVO_HANDLE handle, std::size_t size, std::uint8_t seed,
              std::array<std::uint8_t, frame::DATA_SIZE>& buffer, bool& failed) {
    buffer.fill(0);
    buffer[frame::COMMAND] = CMD_READ;
    buffer[frame::SEQUENCE] = Marker(frame::SEQUENCE, seed);
    buffer[frame::SELECTOR] = SELECT_ALL;
    buffer[frame::LENGTH] = static_cast<std::uint8_t>(size);
    for (std::size_t i = frame::HEADER_SIZE; i < size; ++i) buffer[i] = Marker(i, seed);
    const std::size_t last = size > frame::HEADER_SIZE ? size - 1 : frame::SEQUENCE;
    failed = Kelvo_Access(handle, frame::HEADER_SIZE, buffer.data()) != 1;
    return !failed && buffer[last] != Marker(last, seed);
}

std::atomic<std::uint8_t> gSeed{0x5A};

}  // namespace

ImageRead ReadImage(KELVO_HANDLE handle, std::size_t size, std::uint8_t* data) {
    size = std::clamp<std::size_t>(size, frame::HEADER_SIZE, frame::DATA_SIZE);
    std::array<std::uint8_t, frame::DATA_SIZE> buffer;
    bool failed = false;
    // A new marker each time, so that a value the unit holds steadily meets
    // it seldom.
    const auto seed = static_cast<std::uint8_t>(gSeed.fetch_add(0x65) + 1);
    if (!ReadOnce(handle, size, seed, buffer, failed)) {
        if (failed) return ImageRead::FAILED;
        if (!ReadOnce(handle, size, static_cast<std::uint8_t>(~seed), buffer, failed)) {
            return failed ? ImageRead::FAILED : ImageRead::SHORT;
        }
    }
    std::memcpy(data, buffer.data(), size);
    return ImageRead::OK;
}

std::size_t ImageSize(const KelvoModel& model) {
    if (kelvo_kind_is_digital(model.kind)) return PORT_IMAGE;
    return std::min<std::size_t>(4u * model.total, frame::DATA_SIZE);
}

}  // namespace kelvo::tools
