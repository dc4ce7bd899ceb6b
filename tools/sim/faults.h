// Fault injection: rules given per unit on the command line, random faults
// over all units, and the decision, per command exchange, of what goes wrong.
#pragma once

#include <cstdint>
#include <optional>
#include <random>
#include <string_view>
#include <vector>

#include "sim/model.h"

namespace sim {

enum class FaultKind : std::uint8_t {
    Delay,     // reply after `arg` ms
    Drop,      // no reply; the connection stays open
    Status,    // reply with status byte `arg` (1..255), request not executed
    Sequence,  // reply with the request's sequence + 1
    Close,     // close the connection instead of replying
    Restart,   // close every connection of the unit and its listener, listen
               // again after `arg` ms; the request is not executed
};

const char* faultName(FaultKind kind);

// Which units a rule applies to.
struct FaultTarget {
    enum class Type : std::uint8_t { All, Address, Unit } type = Type::All;
    std::uint32_t address = 0;  // Address
    std::uint8_t model = 0;     // Unit: model code and unit ID
    std::uint8_t unitId = 0;

    bool matches(const Identity& unit) const;
};

// "TARGET=KIND[:ARG][@PROBABILITY][,after=N][,times=N][,cmd=CODE]"
//   TARGET  '*' (all units), an IPv4 address, or MODEL:UNITID
//   KIND    delay:MS | drop | status[:N] | seq | close | restart[:MS]
//   after=N leave the first N eligible exchanges alone
//   times=N fire at most N times
//   cmd=C   only exchanges of command C (e.g. 0x11)
struct FaultRule {
    FaultTarget target;
    FaultKind kind = FaultKind::Drop;
    std::uint32_t arg = 0;
    double probability = 1.0;
    std::uint64_t after = 0;
    std::optional<std::uint64_t> times;
    std::optional<std::uint8_t> command;
};

// Throws std::invalid_argument with a message for the user.
FaultRule parseFaultRule(std::string_view text);
std::vector<FaultKind> parseFaultKinds(std::string_view list);  // "drop,seq,delay"

// A rule as applied to one unit, with its own counters.
struct FaultState {
    FaultRule rule;
    std::uint32_t id = 0;     // the rule's number: command-line rules 1, 2, ..., then
                              // the rules added through the control channel
    std::uint64_t seen = 0;   // eligible exchanges so far
    std::uint64_t fired = 0;  // times it has fired
};

struct RandomFaults {
    double rate = 0.0;  // probability per exchange
    std::vector<FaultKind> kinds;
    std::uint32_t maxDelayMs = 3000;
};

// What happens to one exchange: a total delay and at most one outcome.
struct FaultPlan {
    std::uint32_t delayMs = 0;
    std::optional<FaultKind> outcome;  // never Delay
    std::uint32_t arg = 0;             // status byte or restart downtime

    bool any() const { return delayMs != 0 || outcome.has_value(); }
};

using Rng = std::mt19937_64;

// Runs the unit's rules in order, then the random faults. Delays add up; the
// first outcome that fires wins.
FaultPlan decideFaults(std::vector<FaultState>& rules, const RandomFaults& random,
                       std::uint8_t command, Rng& rng);

}  // namespace sim
