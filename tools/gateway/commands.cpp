#include "commands.h"

#include <charconv>
#include <nlohmann/json.hpp>
#include <optional>

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

std::variant<Command, Rejection> DigitalValue(Command c, std::string_view payload) {
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
        c.value = json["value"].get<std::int32_t>();
        c.mask = static_cast<std::uint8_t>(json.value("mask", 255));
        return c;
    }
    const auto v = Decimal<std::int64_t>(text);
    if (!v) return Rejection{"payload is neither a number nor {\"value\": v, \"mask\": m}"};
    if (*v < 0 || *v > 255) return Rejection{"value " + std::to_string(*v) + " outside 0..255"};
    c.value = static_cast<std::int32_t>(*v);
    return c;
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

std::variant<Command, Rejection> ParseCommand(const KelvoModel& model, std::string_view subtopic,
                                              std::string_view payload) {
    // KIND/N/set
    const auto slash = subtopic.find('/');
    const auto last = subtopic.rfind('/');
    Kind kind{};
    if (slash == std::string_view::npos || last == slash || subtopic.substr(last) != "/set" ||
        !KindFromTopic(subtopic.substr(0, slash), kind)) {
        return Rejection{"unknown topic"};
    }
    const std::string_view number = subtopic.substr(slash + 1, last - slash - 1);
    const auto position = Decimal<unsigned>(number);
    if (!position || number.find_first_not_of("0123456789") != std::string_view::npos) {
        return Rejection{
            std::string("'").append(number).append("' is not a port or channel number")};
    }
    const char* noun = kelvo_kind_is_digital(model.kind) ? "port" : "channel";
    if (kind == Kind::DIGITAL_IN || kind == Kind::ANALOG_IN) {
        return Rejection{std::string("inputs cannot be set; ") + KindTopic(kind) + " is an input"};
    }
    if (!HasPosition(model, kind, *position)) {
        return Rejection{std::string(model.name) + " has no " + KindTopic(kind) + " " + noun + " " +
                         std::to_string(*position)};
    }
    Command c{kind, *position, 0, 0xFF};
    if (kind == Kind::DIGITAL_OUT) return DigitalValue(c, payload);
    const auto v = Decimal<std::int64_t>(payload);
    if (!v) return Rejection{"payload is not a decimal number"};
    if (!FitsBits(*v, model.bits)) {
        return Rejection{"value " + std::to_string(*v) + " outside " + Range(model.bits) + " (" +
                         std::to_string(model.bits) + " bits)"};
    }
    c.value = static_cast<std::int32_t>(*v);
    return c;
}

}  // namespace gateway
