// What the library knows of each unit model: its name, how many ports or
// channels it has, which of them can be read or written, and how wide one
// value is.
#pragma once

#include <cstdint>

namespace kelvo {

struct ModelInfo {
    const char* name;      // null for "no model"
    std::uint8_t total;    // port/channel positions; digital writes go by it
    std::uint8_t inputs;   // readable positions
    std::uint8_t outputs;  // writable analog/counter channels
    std::uint8_t bits;     // width of one value
};

inline constexpr int MODEL_COUNT = 21;  // codes 0..20; 0 is "no model"

// The row for a model code. Codes without a row (0, 21..255) get the empty
// row: no name and every count 0, so every range check refuses them.
const ModelInfo& LookupModel(std::uint8_t code);

// Bytes that one analog or counter value occupies on the wire: 1 or 2.
inline unsigned ValueWidth(const ModelInfo& model) {
    return (model.bits + 7u) / 8u;
}

}  // namespace kelvo
