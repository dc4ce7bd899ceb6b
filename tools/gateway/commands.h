// What a unit offers on the broker: its topics by model, and the commands
// it takes, checked against the model table before anything is sent.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

#include "kelvo_models.h"

namespace gateway {

// The value topics: inputs (di, ai, cnt) and outputs (do, ao).
enum class Kind { DIGITAL_IN, DIGITAL_OUT, ANALOG_IN, ANALOG_OUT, COUNTER };

const char* KindTopic(Kind kind);  // "di", "do", ...

// How many positions of `kind` a model has, and whether position `n` is one.
// Digital output ports keep their port numbers: on an in/out unit they are
// inputs..total-1; on a bidirectional unit every port is both di and do.
bool HasPosition(const KelvoModel& model, Kind kind, unsigned n);

// "KV-108-1": the model name and unit ID, as in topics.
std::string UnitName(const KelvoModel& model, unsigned unitId);

// A command that passed every check.
struct Command {
    Kind kind;
    unsigned position;
    std::int32_t value;
    std::uint8_t mask;  // digital outputs: the lines to change
};

// A rejected command: why, in words for the error topic.
struct Rejection {
    std::string reason;
};

// `subtopic` is what follows "PREFIX/UNIT/", e.g. "do/0/set". Digital
// outputs take a decimal byte or {"value": v, "mask": m}; analog outputs and
// counters a decimal number that fits the model's bits (as signed or as
// unsigned).
std::variant<Command, Rejection> ParseCommand(const KelvoModel& model, std::string_view subtopic,
                                              std::string_view payload);

}  // namespace gateway
