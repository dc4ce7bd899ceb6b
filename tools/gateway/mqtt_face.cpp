#include "mqtt_face.h"

#include <nlohmann/json.hpp>

namespace gateway {
namespace {

constexpr unsigned PORT_BITS = 8;

bool IsDigital(Kind kind) {
    return kind == Kind::DIGITAL_IN || kind == Kind::DIGITAL_OUT;
}

}  // namespace

std::string InfoJson(const UnitDescription& unit, const std::vector<Point>& points) {
    const KelvoModel& m = *unit.model;
    nlohmann::ordered_json info;
    info["model"] = m.name;
    info["name"] = unit.topic;
    info["kind"] = kelvo_kind_name(m.kind);
    info["unitId"] = unit.unitId;
    info["aux"] = unit.aux;
    info["address"] = unit.address;
    info["mac"] = unit.mac.empty() ? nlohmann::ordered_json() : nlohmann::ordered_json(unit.mac);
    info[kelvo_kind_is_digital(m.kind) ? "ports" : "channels"] = m.total;
    info["inputs"] = m.inputs;
    info["outputs"] = m.outputs;
    info["bits"] = m.bits;
    info["firmware"] =
        unit.firmware.empty() ? nlohmann::ordered_json() : nlohmann::ordered_json(unit.firmware);
    info["periodMs"] = unit.period.count();
    info["gateway"] = unit.gateway;
    nlohmann::ordered_json configured = nlohmann::ordered_json::object();
    for (const Point& p : points) {
        const PointSettings& s = p.settings;
        nlohmann::ordered_json point;
        if (!s.bits.empty()) point["bits"] = s.bits;
        if (s.scaled) {
            point["scale"] = {s.scale[0], s.scale[1], s.scale[2], s.scale[3]};
            point["decimals"] = s.decimals;
        }
        if (!s.unit.empty()) point["unit"] = s.unit;
        if (s.deadband > 0) point["deadband"] = s.deadband;
        if (!point.empty()) configured[p.topic()] = point;
    }
    if (!configured.empty()) info["points"] = configured;
    return info.dump();
}

MqttFace::Unit& MqttFace::unit(std::size_t index) {
    std::shared_lock<std::shared_mutex> hold(unitsMutex_);
    return *units_.at(index);
}

void MqttFace::unitAdded(std::size_t index, const UnitDescription& description,
                         const std::vector<Point>& points) {
    auto u = std::make_unique<Unit>();
    u->base = prefix_ + "/" + description.topic;
    u->name = description.topic;
    Unit& added = *u;
    {
        std::lock_guard<std::shared_mutex> hold(unitsMutex_);
        if (units_.size() <= index) units_.resize(index + 1);
        units_[index] = std::move(u);
    }
    set(added, "info", InfoJson(description, points), true);
}

void MqttFace::stateChanged(std::size_t index, bool online) {
    set(unit(index), "state", online ? "online" : "offline", false);
}

void MqttFace::qualityChanged(std::size_t index, Quality quality) {
    const char* text = quality == Quality::GOOD    ? "good"
                       : quality == Quality::STALE ? "stale"
                                                   : "offline";
    set(unit(index), "quality", text, false);
}

void MqttFace::pointReported(std::size_t index, const Point& p, bool always) {
    Unit& u = unit(index);
    const std::string topic = p.topic();
    change(u, topic, std::to_string(p.raw), always, p.readAt);
    if (IsDigital(p.kind)) {
        // Each line on its own topic: a change publishes the lines that
        // changed, besides the port.
        for (unsigned b = 0; b < PORT_BITS; ++b) {
            change(u, topic + "/" + std::to_string(b), (p.raw >> b) & 1 ? "1" : "0", always,
                   p.readAt);
        }
    } else if (p.settings.scaled) {
        change(u, topic + "/value", p.valueText(), always, p.readAt);
    }
}

void MqttFace::change(Unit& u, const std::string& subtopic, const std::string& payload, bool force,
                      std::chrono::system_clock::time_point at) {
    bool first = false;
    if (set(u, subtopic, payload, force, &first) && !first) {
        publisher_.changed(u.name, subtopic, payload, at);
    }
}

void MqttFace::commandFailed(std::size_t index, const CommandRequest& request,
                             const std::string& reason, const char* outcome) {
    // Payloads need not be text: bytes outside printable ASCII show as '?'.
    std::string shown = request.payload.substr(0, 256);
    for (char& ch : shown) {
        if (ch < 0x20 || ch > 0x7E) ch = '?';
    }
    nlohmann::ordered_json error;
    error["topic"] = request.topic;
    error["payload"] = shown;
    error["reason"] = reason;
    if (outcome) error["outcome"] = outcome;
    publisher_.publish(unit(index).base + "/error", error.dump(), false);
}

bool MqttFace::set(Unit& u, const std::string& subtopic, const std::string& payload, bool force,
                   bool* first) {
    std::lock_guard<std::mutex> hold(u.mutex);
    auto& held = u.retained[subtopic];
    if (first) *first = held.empty();
    if (held == payload && !force) return false;
    held = payload;
    publisher_.publish(u.base + "/" + subtopic, payload, true);
    return true;
}

void MqttFace::republish(std::size_t index) {
    Unit& u = unit(index);
    std::lock_guard<std::mutex> hold(u.mutex);
    for (const auto& [subtopic, payload] : u.retained) {
        publisher_.publish(u.base + "/" + subtopic, payload, true);
    }
}

std::vector<std::string> MqttFace::patterns(std::size_t index) {
    const std::string& base = unit(index).base;
    return {base + "/+/set", base + "/+/+/set", base + "/+/+/+/set"};
}

void MqttFace::message(const std::string& topic, const std::string& payload, bool retained) {
    // PREFIX/UNIT/rest; units of other gateways are theirs to answer.
    if (topic.size() <= prefix_.size() + 1 || topic.compare(0, prefix_.size(), prefix_) != 0 ||
        topic[prefix_.size()] != '/') {
        return;
    }
    const auto unitEnd = topic.find('/', prefix_.size() + 1);
    if (unitEnd == std::string::npos) return;
    const auto index = model_.find(topic.substr(prefix_.size() + 1, unitEnd - prefix_.size() - 1));
    if (!index) return;
    auto parsed = ParseRequest(std::string_view(topic).substr(unitEnd + 1), payload);
    CommandRequest request;
    if (auto* r = std::get_if<CommandRequest>(&parsed)) request = std::move(*r);
    request.origin = this;
    request.topic = topic;
    request.payload = payload;
    if (auto* r = std::get_if<Rejection>(&parsed)) {
        return commandFailed(*index, request, r->reason, nullptr);
    }
    if (retained) {
        return commandFailed(*index, request, "retained commands are not carried out", nullptr);
    }
    model_.submit(*index, request);
}

}  // namespace gateway
