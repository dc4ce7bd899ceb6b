// The control channel's commands: one line in, one reply line out. The
// socket side lives in server.cpp; see the README for the commands.
#include <fmt/format.h>

#include <algorithm>
#include <charconv>
#include <nlohmann/json.hpp>
#include <stdexcept>

#include "sim/config.h"
#include "sim/server.h"

namespace sim {

namespace {

[[noreturn]] void fail(const std::string& message) {
    throw std::invalid_argument(message);
}

std::vector<std::string_view> words(std::string_view line) {
    std::vector<std::string_view> out;
    std::size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
        const std::size_t start = i;
        while (i < line.size() && line[i] != ' ' && line[i] != '\t') ++i;
        if (i > start) out.push_back(line.substr(start, i - start));
    }
    return out;
}

// Decimal or 0x hex, with an optional '-', within [min, max].
std::int64_t number(std::string_view text, std::int64_t min, std::int64_t max,
                    std::string_view what) {
    std::string_view digits = text;
    const bool negative = digits.starts_with('-');
    if (negative) digits.remove_prefix(1);
    int base = 10;
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
        digits.remove_prefix(2);
        base = 16;
    }
    std::int64_t value = 0;
    const char* end = digits.data() + digits.size();
    auto [ptr, ec] = std::from_chars(digits.data(), end, value, base);
    if (digits.empty() || ec != std::errc{} || ptr != end) {
        fail(fmt::format("bad {} '{}'", what, text));
    }
    if (negative) value = -value;
    if (value < min || value > max) {
        fail(fmt::format("{} {} out of range ({}..{})", what, text, min, max));
    }
    return value;
}

void expectWords(const std::vector<std::string_view>& w, std::size_t low, std::size_t high,
                 std::string_view usage) {
    if (w.size() < low || w.size() > high) fail(fmt::format("usage: {}", usage));
}

// The port range a digital unit accepts for inputs or outputs (see
// kelvo_models.h): inputs are ports 0..inputs-1; outputs follow the inputs
// on an input and output unit and start at 0 on the others.
std::pair<unsigned, unsigned> portRange(const ModelInfo& m, bool output) {
    if (!output) return {0u, m.inputs};
    if (m.kind == Kind::DigitalInOut) return {m.inputs, m.total};
    return {0u, m.outputs};
}

Wave parseWave(std::string_view name) {
    for (Wave w : {Wave::Sine, Wave::Ramp, Wave::Square}) {
        if (name == waveName(w)) return w;
    }
    fail(fmt::format("unknown waveform '{}' (sine, ramp, square)", name));
}

}  // namespace

std::string Server::control(std::string_view line) {
    try {
        const auto w = words(line);
        if (w.empty()) fail("empty command");
        return controlCommand(w);
    } catch (const std::exception& e) {
        return fmt::format("error {}", e.what());
    }
}

std::size_t Server::findSlot(std::string_view unit) const {
    std::vector<std::size_t> found;
    if (const std::size_t colon = unit.find(':'); colon != std::string_view::npos) {
        const ModelInfo* model = findModel(unit.substr(0, colon));
        if (model == nullptr) fail(fmt::format("unknown model in '{}'", unit));
        const std::uint8_t id = parseByte(unit.substr(colon + 1), "unit ID");
        for (std::size_t i = 0; i < slots_.size(); ++i) {
            const Identity& u = slots_[i]->unit.identity();
            if (u.model == model && u.unitId == id) found.push_back(i);
        }
    } else {
        const std::uint32_t address = parseIPv4(unit);
        for (std::size_t i = 0; i < slots_.size(); ++i) {
            if (slots_[i]->unit.identity().address == address) found.push_back(i);
        }
    }
    if (found.empty()) fail(fmt::format("no unit {}", unit));
    if (found.size() > 1) {
        fail(fmt::format("{} units are {}: name one by its address", found.size(), unit));
    }
    return found[0];
}

std::string Server::controlCommand(const std::vector<std::string_view>& w) {
    const std::string_view command = w[0];
    if (command == "ping") {
        expectWords(w, 1, 1, "ping");
        return "ok";
    }
    if (command == "set") {
        expectWords(w, 5, 5, "set UNIT di|do|ai|cnt NUMBER VALUE");
        const std::size_t index = findSlot(w[1]);
        Unit& unit = slots_[index]->unit;
        const ModelInfo& m = unit.model();
        const std::string_view what = w[2];
        if (what == "di" || what == "do") {
            const bool output = what == "do";
            const auto [first, end] = portRange(m, output);
            if (!isDigital(m.kind) || first == end) {
                fail(fmt::format("{} ({}) has no digital {} ports", m.name, kindName(m.kind),
                                 output ? "output" : "input"));
            }
            const auto port = number(w[3], 0, 255, "port");
            if (port < first || port >= end) {
                fail(fmt::format("port {} is not a digital {} port of {} ({}..{})", port,
                                 output ? "output" : "input", m.name, first, end - 1));
            }
            unit.setPort(static_cast<std::size_t>(port),
                         static_cast<std::uint8_t>(number(w[4], 0, 255, "value")));
        } else if (what == "ai" || what == "cnt") {
            const bool analog = what == "ai";
            if (m.kind != (analog ? Kind::AnalogIn : Kind::Counter)) {
                fail(fmt::format("{} ({}) has no {}", m.name, kindName(m.kind),
                                 analog ? "analog inputs" : "counters"));
            }
            const auto channel = number(w[3], 0, m.inputs - 1, "channel");
            const std::int64_t high = (std::int64_t{1} << (analog ? m.bits - 1 : m.bits)) - 1;
            const std::int64_t low = analog ? -high - 1 : 0;
            const auto value = number(w[4], low, high, "value");
            if (analog) {
                unit.setAnalogSource(
                    static_cast<std::size_t>(channel),
                    AnalogSource{Wave::Fixed, static_cast<std::int32_t>(value), NANOS_PER_SECOND});
            } else {
                unit.setCount(static_cast<std::size_t>(channel), static_cast<std::uint32_t>(value),
                              now());
            }
        } else {
            fail(fmt::format("set: unknown input '{}' (di, do, ai, cnt)", what));
        }
        return "ok";
    }
    if (command == "wave") {
        expectWords(w, 5, 7, "wave UNIT ai CHANNEL sine|ramp|square [PERIOD_MS [AMPLITUDE]]");
        Unit& unit = slots_[findSlot(w[1])]->unit;
        const ModelInfo& m = unit.model();
        if (w[2] != "ai") fail(fmt::format("wave: only analog inputs (ai) take a waveform"));
        if (m.kind != Kind::AnalogIn) {
            fail(fmt::format("{} ({}) has no analog inputs", m.name, kindName(m.kind)));
        }
        const auto channel = number(w[3], 0, m.inputs - 1, "channel");
        AnalogSource source{parseWave(w[4]), 4000, NANOS_PER_SECOND};
        if (w.size() > 5) source.period = number(w[5], 1, 3'600'000, "period") * NANOS_PER_MS;
        if (w.size() > 6) {
            source.value = static_cast<std::int32_t>(number(w[6], 0, 32767, "amplitude"));
        }
        unit.setAnalogSource(static_cast<std::size_t>(channel), source);
        return "ok";
    }
    if (command == "fault") {
        if (w.size() >= 2 && w[1] == "add") {
            expectWords(w, 3, 3, "fault add RULE");
            return fmt::format("ok {}", addFault(w[2]));
        }
        if (w.size() >= 2 && w[1] == "clear") {
            expectWords(w, 2, 3, "fault clear [ID|UNIT]");
            return clearFaults(w);
        }
        fail("usage: fault add RULE | fault clear [ID|UNIT]");
    }
    if (command == "restart") {
        expectWords(w, 2, 3, "restart UNIT [MS]");
        const std::size_t index = findSlot(w[1]);
        if (slots_[index]->held) fail(fmt::format("{} is down (use up)", w[1]));
        const auto ms = w.size() > 2 ? number(w[2], 0, 3'600'000, "downtime") : 0;
        restartUnit(index, static_cast<std::uint32_t>(ms));
        return "ok";
    }
    if (command == "down" || command == "up") {
        expectWords(w, 2, 2, fmt::format("{} UNIT", command));
        holdDown(findSlot(w[1]), command == "down");
        return "ok";
    }
    if (command == "state") {
        expectWords(w, 2, 2, "state UNIT");
        return "ok " + unitState(findSlot(w[1]));
    }
    fail(fmt::format("unknown command '{}' (set, wave, fault, restart, down, up, state, ping)",
                     command));
}

std::uint32_t Server::addFault(std::string_view text) {
    FaultRule rule = parseFaultRule(text);
    const std::uint32_t id = nextFaultId_;
    bool matched = false;
    for (auto& slot : slots_) {
        if (!rule.target.matches(slot->unit.identity())) continue;
        slot->faults.push_back(FaultState{rule, id});
        matched = true;
    }
    if (!matched) fail(fmt::format("fault '{}' matches no unit", text));
    ++nextFaultId_;
    return id;
}

std::string Server::clearFaults(const std::vector<std::string_view>& w) {
    if (w.size() == 2) {
        for (auto& slot : slots_) slot->faults.clear();
        return "ok";
    }
    const std::string_view target = w[2];
    if (std::all_of(target.begin(), target.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        const auto id = number(target, 1, UINT32_MAX, "fault ID");
        std::size_t removed = 0;
        for (auto& slot : slots_) {
            removed += std::erase_if(slot->faults, [&](const FaultState& f) { return f.id == id; });
        }
        if (removed == 0) fail(fmt::format("no fault rule {}", id));
        return "ok";
    }
    slots_[findSlot(target)]->faults.clear();
    return "ok";
}

std::string Server::unitState(std::size_t index) {
    Slot& slot = *slots_[index];
    Unit& unit = slot.unit;
    const ModelInfo& m = unit.model();
    const Identity& id = unit.identity();
    const Nanos t = now();
    nlohmann::ordered_json ports = nlohmann::json::array();
    nlohmann::ordered_json directions = nlohmann::json::array();
    nlohmann::ordered_json outputs = nlohmann::json::array();
    nlohmann::ordered_json analog = nlohmann::json::array();
    nlohmann::ordered_json waves = nlohmann::json::array();
    nlohmann::ordered_json counters = nlohmann::json::array();
    nlohmann::ordered_json settings = nlohmann::json::array();
    for (std::size_t p = 0; p < m.total; ++p) {
        if (isDigital(m.kind)) {
            ports.push_back(unit.port(p));
            directions.push_back(unit.config(p));
            continue;
        }
        settings.push_back(unit.config(p));
        const std::int32_t value = unit.channelValue(p, t);
        if (m.kind == Kind::AnalogIn) {
            analog.push_back(value);
            waves.push_back(waveName(unit.analogSource(p).wave));
        } else if (m.kind == Kind::AnalogOut) {
            outputs.push_back(value);
        } else {
            counters.push_back(value);
        }
    }
    const std::uint8_t sampling = unit.samplingStatus(t);
    nlohmann::ordered_json faults = nlohmann::json::array();
    for (const FaultState& f : slot.faults) faults.push_back(f.id);
    const nlohmann::ordered_json state = {
        {"model", m.name},
        {"unitId", id.unitId},
        {"address", formatIPv4(id.address)},
        {"kind", kindName(m.kind)},
        {"aux", id.aux},
        {"mac", formatMac(id.mac)},
        {"up", !slot.down},
        {"ports", ports},
        {"directions", directions},
        {"outputs", outputs},
        {"analog", analog},
        {"waves", waves},
        {"counters", counters},
        {"settings", settings},
        {"sampling",
         {{"status", sampling},
          {"recorded", unit.recordedBytes()},
          {"position", unit.transferPosition()}}},
        {"faults", faults},
    };
    return state.dump();
}

}  // namespace sim
