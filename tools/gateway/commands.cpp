#include "commands.h"

#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <optional>
#include <vector>

namespace gateway {
namespace {

std::string_view Trim(std::string_view s) {
    while (!s.empty() &&
           (s.front() == ' ' || s.front() == '\t' || s.front() == '\n' || s.front() == '\r')) {
        s.remove_prefix(1);
    }
    while (!s.empty() &&
           (s.back() == ' ' || s.back() == '\t' || s.back() == '\n' || s.back() == '\r')) {
        s.remove_suffix(1);
    }
    return s;
}

template <typename T>
std::optional<T> Decimal(std::string_view text) {
    text = Trim(text);
    T value{};
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

// A value of `bits` bits, read as signed or unsigned.
bool FitsBits(std::int64_t v, unsigned bits) {
    return v >= -(std::int64_t{1} << (bits - 1)) && v <= (std::int64_t{1} << bits) - 1;
}

std::string Range(unsigned bits) {
    return std::to_string(-(std::int64_t{1} << (bits - 1))) + ".." +
           std::to_string((std::int64_t{1} << bits) - 1);
}

bool KindFromTopic(std::string_view name, Kind& kind) {
    static constexpr struct {
        const char* name;
        Kind kind;
    } KINDS[] = {{"di", Kind::DIGITAL_IN},
                 {"do", Kind::DIGITAL_OUT},
                 {"ai", Kind::ANALOG_IN},
                 {"ao", Kind::ANALOG_OUT},
                 {"cnt", Kind::COUNTER}};
    for (const auto& k : KINDS) {
        if (name == k.name) {
            kind = k.kind;
            return true;
        }
    }
    return false;
}

// Digital ports: a decimal byte or {"value": v, "mask": m}.
std::optional<Rejection> DigitalValue(CommandRequest& c, std::string_view payload) {
    const std::string_view text = Trim(payload);
    if (!text.empty() && text.front() == '{') {
        const auto json = nlohmann::json::parse(text, nullptr, false);
        if (json.is_discarded() || !json.is_object() || !json.contains("value")) {
            return Rejection{"payload is neither a number nor {\"value\": v, \"mask\": m}"};
        }
        for (const auto& [key, field] : json.items()) {
            if (key != "value" && key != "mask") return Rejection{"unknown field '" + key + "'"};
            if (!field.is_number_integer() || field.get<std::int64_t>() < 0 ||
                field.get<std::int64_t>() > 255) {
                return Rejection{"'" + key + "' must be an integer 0..255"};
            }
        }
        c.raw = json["value"].get<std::int32_t>();
        c.mask = static_cast<std::uint8_t>(json.value("mask", 255));
        return std::nullopt;
    }
    const auto v = Decimal<std::int64_t>(text);
    if (!v) return Rejection{"payload is neither a number nor {\"value\": v, \"mask\": m}"};
    c.raw = *v;
    return std::nullopt;
}

// One bit: what Home Assistant (ON, OFF), Node-RED (true, false) and people
// (1, 0) send; letter case does not matter.
std::optional<bool> BitValue(std::string_view payload) {
    std::string text(Trim(payload));
    for (char& ch : text) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    if (text == "1" || text == "on" || text == "true") return true;
    if (text == "0" || text == "off" || text == "false") return false;
    return std::nullopt;
}

}  // namespace

const char* KindTopic(Kind kind) {
    switch (kind) {
        case Kind::DIGITAL_IN:
            return "di";
        case Kind::DIGITAL_OUT:
            return "do";
        case Kind::ANALOG_IN:
            return "ai";
        case Kind::ANALOG_OUT:
            return "ao";
        case Kind::COUNTER:
            return "cnt";
    }
    return "?";
}

bool HasPosition(const KelvoModel& m, Kind kind, unsigned n) {
    switch (kind) {
        case Kind::DIGITAL_IN:
            return kelvo_kind_is_digital(m.kind) && n < m.inputs;
        case Kind::DIGITAL_OUT:
            if (m.kind == KELVO_KIND_DIGITAL_INOUT) return n >= m.inputs && n < m.total;
            return (m.kind == KELVO_KIND_DIGITAL_OUT || m.kind == KELVO_KIND_DIGITAL_BIDIR) &&
                   n < m.total;
        case Kind::ANALOG_IN:
            return m.kind == KELVO_KIND_ANALOG_IN && n < m.inputs;
        case Kind::ANALOG_OUT:
            return m.kind == KELVO_KIND_ANALOG_OUT && n < m.outputs;
        case Kind::COUNTER:
            return m.kind == KELVO_KIND_COUNTER && n < m.inputs;
    }
    return false;
}

std::string UnitName(const KelvoModel& model, unsigned unitId) {
    return std::string(model.name) + "-" + std::to_string(unitId);
}

double ToEngineering(const PointSettings& p, std::int64_t raw) {
    if (!p.scaled) return static_cast<double>(raw);
    return p.scale[2] + (static_cast<double>(raw) - p.scale[0]) * (p.scale[3] - p.scale[2]) /
                            (p.scale[1] - p.scale[0]);
}

std::optional<std::int64_t> ToRaw(const PointSettings& p, double value) {
    const double raw = p.scaled ? p.scale[0] + (value - p.scale[2]) * (p.scale[1] - p.scale[0]) /
                                                   (p.scale[3] - p.scale[2])
                                : value;
    if (!std::isfinite(raw) || std::fabs(raw) > 9.0e18) return std::nullopt;
    return std::llround(raw);
}

std::variant<CommandRequest, Rejection> ParseRequest(std::string_view subtopic,
                                                     std::string_view payload) {
    // KIND/N/set, KIND/N/BIT/set or KIND/N/value/set
    std::vector<std::string_view> levels;
    for (std::size_t from = 0;;) {
        const auto slash = subtopic.find('/', from);
        levels.push_back(subtopic.substr(from, slash - from));
        if (slash == std::string_view::npos) break;
        from = slash + 1;
    }
    CommandRequest c;
    if (levels.size() < 3 || levels.size() > 4 || levels.back() != "set" ||
        !KindFromTopic(levels[0], c.kind)) {
        return Rejection{"unknown topic"};
    }
    const std::string_view number = levels[1];
    const auto position = Decimal<unsigned>(number);
    if (!position || number.find_first_not_of("0123456789") != std::string_view::npos) {
        return Rejection{
            std::string("'").append(number).append("' is not a port or channel number")};
    }
    c.position = *position;
    const bool digital = c.kind == Kind::DIGITAL_IN || c.kind == Kind::DIGITAL_OUT;
    if (levels.size() == 4) {
        if (!digital && levels[2] == "value") {
            const std::string text(Trim(payload));
            char* end = nullptr;
            const double v = text.empty() ? 0 : std::strtod(text.c_str(), &end);
            if (text.empty() || end != text.c_str() + text.size() || !std::isfinite(v)) {
                return Rejection{"payload is not a decimal number"};
            }
            c.engineering = v;
            return c;
        }
        const auto bit = Decimal<unsigned>(levels[2]);
        if (!digital || !bit || levels[2].find_first_not_of("0123456789") != std::string::npos) {
            return Rejection{"unknown topic"};
        }
        const auto on = BitValue(payload);
        if (!on) return Rejection{"payload is none of 1, 0, ON, OFF, true, false"};
        c.bit = *bit;
        c.raw = *on ? 1 : 0;
        return c;
    }
    if (digital) {
        if (auto r = DigitalValue(c, payload)) return *r;
        return c;
    }
    const auto v = Decimal<std::int64_t>(payload);
    if (!v) return Rejection{"payload is not a decimal number"};
    c.raw = *v;
    return c;
}

std::variant<Command, Rejection> CheckCommand(const KelvoModel& model, const CommandRequest& r,
                                              const PointSettings* point) {
    const char* noun = kelvo_kind_is_digital(model.kind) ? "port" : "channel";
    if (r.kind == Kind::DIGITAL_IN || r.kind == Kind::ANALOG_IN) {
        return Rejection{std::string("inputs cannot be set; ") + KindTopic(r.kind) +
                         " is an input"};
    }
    if (!HasPosition(model, r.kind, r.position)) {
        return Rejection{std::string(model.name) + " has no " + KindTopic(r.kind) + " " + noun +
                         " " + std::to_string(r.position)};
    }
    Command c{r.kind, r.position, 0, 0xFF};
    if (r.kind == Kind::DIGITAL_OUT) {
        if (r.bit) {
            if (*r.bit >= 8) return Rejection{"bit " + std::to_string(*r.bit) + " outside 0..7"};
            c.mask = static_cast<std::uint8_t>(1u << *r.bit);
            c.value = r.raw ? c.mask : 0;
            return c;
        }
        if (r.raw < 0 || r.raw > 255) {
            return Rejection{"value " + std::to_string(r.raw) + " outside 0..255"};
        }
        c.value = static_cast<std::int32_t>(r.raw);
        c.mask = r.mask;
        return c;
    }
    std::int64_t raw = r.raw;
    if (r.engineering) {
        const std::string topic = std::string(KindTopic(r.kind)) + "/" + std::to_string(r.position);
        if (r.kind != Kind::ANALOG_OUT) {
            return Rejection{topic + " takes codes only, on " + topic + "/set"};
        }
        if (!point || !point->scaled) {
            return Rejection{topic + " has no scale; set its code on " + topic + "/set"};
        }
        const auto code = ToRaw(*point, *r.engineering);
        if (!code) return Rejection{"value outside the channel's range"};
        raw = *code;
    }
    if (!FitsBits(raw, model.bits)) {
        return Rejection{std::string(r.engineering ? "the value is code " : "value ") +
                         std::to_string(raw) + (r.engineering ? ", outside " : " outside ") +
                         Range(model.bits) + " (" + std::to_string(model.bits) + " bits)"};
    }
    c.value = static_cast<std::int32_t>(raw);
    return c;
}

}  // namespace gateway
