#include "sim/faults.h"

#include <fmt/format.h>

#include <charconv>
#include <stdexcept>
#include <string>

#include "sim/config.h"

namespace sim {

namespace {

[[noreturn]] void fail(const std::string& message) {
    throw std::invalid_argument(message);
}

std::uint64_t parseCount(std::string_view text, std::string_view what, std::uint64_t max) {
    std::uint64_t value = 0;
    const char* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (text.empty() || ec != std::errc{} || ptr != end || value > max) {
        fail(fmt::format("bad {} '{}'", what, text));
    }
    return value;
}

double parseProbability(std::string_view text) {
    double p = -1.0;
    const char* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, p);
    if (text.empty() || ec != std::errc{} || ptr != end || !(p >= 0.0 && p <= 1.0)) {
        fail(fmt::format("bad probability '{}' (0..1)", text));
    }
    return p;
}

FaultKind parseKindName(std::string_view name) {
    if (name == "delay") return FaultKind::Delay;
    if (name == "drop") return FaultKind::Drop;
    if (name == "status") return FaultKind::Status;
    if (name == "seq") return FaultKind::Sequence;
    if (name == "close") return FaultKind::Close;
    if (name == "restart") return FaultKind::Restart;
    fail(fmt::format("unknown fault '{}' (delay, drop, status, seq, close, restart)", name));
}

FaultTarget parseTarget(std::string_view text) {
    FaultTarget t;
    if (text == "*" || text == "all") return t;
    if (const std::size_t colon = text.find(':'); colon != std::string_view::npos) {
        const ModelInfo* model = findModel(text.substr(0, colon));
        if (model == nullptr) fail(fmt::format("unknown model in fault target '{}'", text));
        t.type = FaultTarget::Type::Unit;
        t.model = model->code;
        t.unitId = parseByte(text.substr(colon + 1), "unit ID");
        return t;
    }
    t.type = FaultTarget::Type::Address;
    t.address = parseIPv4(text);
    return t;
}

}  // namespace

const char* faultName(FaultKind kind) {
    switch (kind) {
        case FaultKind::Delay:
            return "delay";
        case FaultKind::Drop:
            return "drop";
        case FaultKind::Status:
            return "status";
        case FaultKind::Sequence:
            return "seq";
        case FaultKind::Close:
            return "close";
        case FaultKind::Restart:
            return "restart";
    }
    return "?";
}

bool FaultTarget::matches(const Identity& unit) const {
    switch (type) {
        case Type::All:
            return true;
        case Type::Address:
            return unit.address == address;
        case Type::Unit:
            return unit.model->code == model && unit.unitId == unitId;
    }
    return false;
}

FaultRule parseFaultRule(std::string_view text) {
    const std::size_t eq = text.find('=');
    if (eq == std::string_view::npos) {
        fail(fmt::format("fault '{}': expected TARGET=KIND[:ARG][@P][,after=N][,times=N][,cmd=C]",
                         text));
    }
    FaultRule rule;
    rule.target = parseTarget(text.substr(0, eq));

    std::string_view rest = text.substr(eq + 1);
    std::string_view options;
    if (const std::size_t comma = rest.find(','); comma != std::string_view::npos) {
        options = rest.substr(comma + 1);
        rest = rest.substr(0, comma);
    }
    if (const std::size_t at = rest.find('@'); at != std::string_view::npos) {
        rule.probability = parseProbability(rest.substr(at + 1));
        rest = rest.substr(0, at);
    }
    std::string_view arg;
    bool hasArg = false;
    if (const std::size_t colon = rest.find(':'); colon != std::string_view::npos) {
        arg = rest.substr(colon + 1);
        rest = rest.substr(0, colon);
        hasArg = true;
    }
    rule.kind = parseKindName(rest);
    switch (rule.kind) {
        case FaultKind::Delay:
            if (!hasArg) fail(fmt::format("fault '{}': delay needs milliseconds (delay:MS)", text));
            rule.arg = static_cast<std::uint32_t>(parseCount(arg, "delay", 3'600'000));
            break;
        case FaultKind::Status:
            rule.arg = hasArg ? parseByte(arg, "status byte") : 1;
            if (rule.arg == 0) fail(fmt::format("fault '{}': status must not be 0", text));
            break;
        case FaultKind::Restart:
            rule.arg =
                hasArg ? static_cast<std::uint32_t>(parseCount(arg, "downtime", 3'600'000)) : 0;
            break;
        default:
            if (hasArg) fail(fmt::format("fault '{}': {} takes no argument", text, rest));
            break;
    }

    while (!options.empty()) {
        std::string_view option = options;
        if (const std::size_t comma = options.find(','); comma != std::string_view::npos) {
            option = options.substr(0, comma);
            options = options.substr(comma + 1);
        } else {
            options = {};
        }
        if (option.starts_with("after=")) {
            rule.after = parseCount(option.substr(6), "after", UINT64_MAX);
        } else if (option.starts_with("times=")) {
            rule.times = parseCount(option.substr(6), "times", UINT64_MAX);
        } else if (option.starts_with("cmd=")) {
            rule.command = parseByte(option.substr(4), "command");
        } else {
            fail(fmt::format("fault '{}': unknown option '{}' (after=, times=, cmd=)", text,
                             option));
        }
    }
    return rule;
}

std::vector<FaultKind> parseFaultKinds(std::string_view list) {
    std::vector<FaultKind> kinds;
    while (!list.empty()) {
        const std::size_t comma = list.find(',');
        kinds.push_back(parseKindName(list.substr(0, comma)));
        list = comma == std::string_view::npos ? std::string_view{} : list.substr(comma + 1);
    }
    return kinds;
}

FaultPlan decideFaults(std::vector<FaultState>& rules, const RandomFaults& random,
                       std::uint8_t command, Rng& rng) {
    FaultPlan plan;
    std::uniform_real_distribution<double> chance(0.0, 1.0);
    auto apply = [&plan](FaultKind kind, std::uint32_t arg) {
        if (kind == FaultKind::Delay) {
            plan.delayMs += arg;
        } else if (!plan.outcome) {
            plan.outcome = kind;
            plan.arg = arg;
        }
    };

    for (FaultState& s : rules) {
        const FaultRule& r = s.rule;
        if (r.command && *r.command != command) continue;
        if (++s.seen <= r.after) continue;
        if (r.times && s.fired >= *r.times) continue;
        if (r.probability < 1.0 && chance(rng) >= r.probability) continue;
        ++s.fired;
        apply(r.kind, r.arg);
    }

    if (random.rate > 0.0 && !random.kinds.empty() && chance(rng) < random.rate) {
        std::uniform_int_distribution<std::size_t> pick(0, random.kinds.size() - 1);
        const FaultKind kind = random.kinds[pick(rng)];
        std::uint32_t arg = 0;
        if (kind == FaultKind::Delay) {
            arg = std::uniform_int_distribution<std::uint32_t>(1, random.maxDelayMs)(rng);
        } else if (kind == FaultKind::Status) {
            arg = std::uniform_int_distribution<std::uint32_t>(1, 255)(rng);
        }
        apply(kind, arg);
    }
    return plan;
}

}  // namespace sim
