#include "io/model_table.h"

namespace kelvo {
namespace {

constexpr ModelInfo MODELS[MODEL_COUNT] = {
    {nullptr, 0, 0, 0, 0},      //  0: no model
    {"KV-101", 2, 2, 0, 8},     //  1: digital input
    {"KV-102", 2, 2, 0, 8},     //  2: digital input
    {"KV-103", 2, 1, 1, 8},     //  3: digital input and output
    {"KV-104", 2, 1, 1, 8},     //  4: digital input and output
    {"KV-105", 2, 0, 2, 8},     //  5: digital output
    {"KV-106", 2, 0, 2, 8},     //  6: digital output
    {"KV-107", 2, 0, 2, 8},     //  7: digital output
    {"KV-108", 3, 3, 3, 8},     //  8: digital, every port both ways
    {"KV-109", 16, 16, 0, 16},  //  9: analog input
    {"KV-110", 4, 0, 4, 12},    // 10: analog output
    {"KV-111", 2, 2, 2, 16},    // 11: counter
    {"KV-112", 8, 8, 0, 8},     // 12: digital input
    {"KV-113", 4, 4, 0, 8},     // 13: digital input
    {"KV-114", 8, 0, 8, 8},     // 14: digital output
    {"KV-115", 4, 0, 4, 8},     // 15: digital output
    {"KV-116", 8, 4, 4, 8},     // 16: digital input and output
    {"KV-117", 4, 2, 2, 8},     // 17: digital input and output
    {"KV-118", 2, 2, 2, 8},     // 18: digital, every port both ways
    {"KV-119", 16, 16, 0, 16},  // 19: analog input
    {"KV-120", 4, 0, 4, 12},    // 20: analog output
};

}  // namespace

const ModelInfo& LookupModel(std::uint8_t code) {
    return code < MODEL_COUNT ? MODELS[code] : MODELS[0];
}

}  // namespace kelvo
