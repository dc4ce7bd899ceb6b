#include "ha_face.h"

#include <algorithm>
#include <cmath>
#include <nlohmann/json.hpp>

namespace gateway {
namespace {

constexpr unsigned PORT_BITS = 8;

std::string Identifier(const std::string& text) {
    std::string id = text;
    for (char& ch : id) {
        const bool plain = (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') ||
                           (ch >= '0' && ch <= '9') || ch == '_' || ch == '-';
        if (!plain) ch = '_';
    }
    return id;
}

}  // namespace

void HomeAssistantFace::unitAdded(std::size_t, const UnitDescription& unit,
                                  const std::vector<Point>& points) {
    const std::string node = Identifier(settings_.prefix + "_" + unit.name);
    const std::string base = settings_.prefix + "/" + unit.topic;
    nlohmann::ordered_json device;
    device["identifiers"] = {node};
    device["name"] = unit.topic;
    device["manufacturer"] = "Kelvo";
    device["model"] = unit.model->name;
    if (!unit.firmware.empty()) device["sw_version"] = unit.firmware;
    if (!unit.mac.empty()) device["connections"] = {{"mac", unit.mac}};
    nlohmann::ordered_json availability = nlohmann::ordered_json::array();
    for (const std::string& topic : {base + "/state", gatewayTopic_}) {
        availability.push_back({{"topic", topic},
                                {"payload_available", "online"},
                                {"payload_not_available", "offline"}});
    }

    std::map<std::string, std::string> configs;
    auto add = [&](const char* component, const std::string& object, const std::string& name,
                   nlohmann::ordered_json entity) {
        entity["name"] = name;
        entity["unique_id"] = node + "_" + object;
        entity["object_id"] = node + "_" + object;
        entity["device"] = device;
        entity["availability"] = availability;
        entity["availability_mode"] = "all";
        configs[settings_.homeAssistant.prefix + "/" + component + "/" + node + "/" + object +
                "/config"] = entity.dump();
    };
    const unsigned bits = unit.model->bits;
    for (const Point& p : points) {
        const std::string topic = base + "/" + p.topic();
        const std::string object =
            std::string(KindTopic(p.kind)) + "_" + std::to_string(p.position);
        const std::string label = std::string(KindTopic(p.kind)) + " " + std::to_string(p.position);
        if (p.kind == Kind::DIGITAL_IN || p.kind == Kind::DIGITAL_OUT) {
            const bool output = p.kind == Kind::DIGITAL_OUT;
            for (unsigned b = 0; b < PORT_BITS; ++b) {
                nlohmann::ordered_json e;
                e["state_topic"] = topic + "/" + std::to_string(b);
                if (output) e["command_topic"] = topic + "/" + std::to_string(b) + "/set";
                e["payload_on"] = "1";
                e["payload_off"] = "0";
                const std::string name = b < p.settings.bits.size()
                                             ? p.settings.bits[b]
                                             : label + "." + std::to_string(b);
                add(output ? "switch" : "binary_sensor", object + "_" + std::to_string(b), name,
                    std::move(e));
            }
            continue;
        }
        const PointSettings& s = p.settings;
        nlohmann::ordered_json e;
        e["state_topic"] = s.scaled ? topic + "/value" : topic;
        if (!s.unit.empty()) e["unit_of_measurement"] = s.unit;
        if (p.kind == Kind::ANALOG_OUT) {
            // The codes the unit holds, or their engineering values.
            const double high = static_cast<double>((std::int64_t{1} << bits) - 1);
            double low = 0, top = high;
            if (s.scaled) {
                low = ToEngineering(s, 0);
                top = ToEngineering(s, static_cast<std::int64_t>(high));
                if (low > top) std::swap(low, top);
            }
            e["command_topic"] = s.scaled ? topic + "/value/set" : topic + "/set";
            e["min"] = low;
            e["max"] = top;
            e["step"] = s.scaled ? std::pow(10.0, -s.decimals) : 1.0;
            e["mode"] = "box";
            add("number", object, label, std::move(e));
        } else {
            if (p.kind == Kind::ANALOG_IN) e["state_class"] = "measurement";
            add("sensor", object, label, std::move(e));
        }
    }
    std::lock_guard<std::mutex> hold(mutex_);
    for (auto& [topic, payload] : configs) {
        publisher_.publish(topic, payload, true);
        configs_[topic] = std::move(payload);
    }
}

void HomeAssistantFace::republish() {
    std::lock_guard<std::mutex> hold(mutex_);
    for (const auto& [topic, payload] : configs_) publisher_.publish(topic, payload, true);
}

}  // namespace gateway
