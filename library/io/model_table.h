// What the library knows of each unit model: the public model table, looked
// up so that every code, named or not, gets a row.
#pragma once

#include <cstdint>

#include "kelvo_models.h"

namespace kelvo {

using ModelInfo = KelvoModel;

inline constexpr int MODEL_COUNT = KELVO_MODEL_COUNT + 1;  // codes 0..20; 0 is "no model"

// The row for a model code. Codes without a row (0, 21..255) get the empty
// row: no name and every count 0, so every range check refuses them.
inline const ModelInfo& LookupModel(std::uint8_t code) {
    return kelvo_model_table[code < MODEL_COUNT ? code : 0];
}

// Bytes that one analog or counter value occupies on the wire: 1 or 2.
inline unsigned ValueWidth(const ModelInfo& model) {
    return (model.bits + 7u) / 8u;
}

}  // namespace kelvo
