// What a unit offers on the broker: its topics by model, and the commands
// it takes, checked against the model table before anything is sent.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "config.h"
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

// Engineering value <-> raw code by the point's scale (linear; none: the same).
double ToEngineering(const PointSettings& settings, std::int64_t raw);
// The nearest code; nullopt when it is beyond 64 bits or not a number.
std::optional<std::int64_t> ToRaw(const PointSettings& settings, double value);

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

class Face;

// A command as a face understood it, not checked yet.
struct CommandRequest {
    Kind kind{};
    unsigned position = 0;
    std::optional<unsigned> bit;        // one bit of a digital port: raw is 0 or 1
    std::int64_t raw = 0;               // the value, unless `engineering` is set
    std::uint8_t mask = 0xFF;           // digital ports: the lines to change
    std::optional<double> engineering;  // a value in engineering units (a scaled output)
    // Where the command came from, for the face's answer, and the face's own
    // mark to match the answer to the request.
    Face* origin = nullptr;
    std::uint64_t tag = 0;
    std::string topic;
    std::string payload;
};

// The MQTT form, `subtopic` being what follows "PREFIX/UNIT/": "do/0/set"
// takes a decimal byte or {"value": v, "mask": m}; "do/0/3/set" one bit as
// 1, 0, ON, OFF, true or false; "ao/1/set" and "cnt/1/set" a decimal number;
// "ao/1/value/set" an engineering value. Only the form is checked here.
std::variant<CommandRequest, Rejection> ParseRequest(std::string_view subtopic,
                                                     std::string_view payload);

// The one check of a command from any face, against the model table and the
// point's settings (`point` null: the position has none): the position
// exists and is an output, the value fits the model's bits (as signed or as
// unsigned), an engineering value has a scale to turn it into a code.
std::variant<Command, Rejection> CheckCommand(const KelvoModel& model,
                                              const CommandRequest& request,
                                              const PointSettings* point);

}  // namespace gateway
