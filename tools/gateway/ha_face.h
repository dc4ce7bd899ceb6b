// Home Assistant MQTT discovery: a face that describes each unit as a
// device whose entities use the plain MQTT face's topics.
//
// One config message per entity, retained, on
// HA_PREFIX/COMPONENT/NODE/OBJECT/config: NODE is PREFIX_UNIT with every
// character other than a letter, digit, '_' or '-' as '_' (the unit's own
// name, so it stays when the unit is renamed), OBJECT e.g. "di_0_3". A
// binary_sensor per input bit, a switch per output bit, a sensor per analog
// input and counter, a number per analog output. Each is available while
// both its unit and the gateway are online.
#pragma once

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "mqtt_face.h"
#include "points.h"

namespace gateway {

class HomeAssistantFace : public Face {
  public:
    // `gatewayTopic`: PREFIX/gateway/ID/state.
    HomeAssistantFace(Publisher& publisher, const Settings& settings,
                      const std::string& gatewayTopic)
        : publisher_(publisher), settings_(settings), gatewayTopic_(gatewayTopic) {}

    void unitAdded(std::size_t unit, const UnitDescription& description,
                   const std::vector<Point>& points) override;
    void stateChanged(std::size_t, bool) override {}
    void pointReported(std::size_t, const Point&, bool) override {}
    void commandFailed(std::size_t, const CommandRequest&, const std::string&,
                       const char*) override {}

    // HA_PREFIX/status: Home Assistant's own state; `online` after it
    // starts asks for every config again.
    std::string statusTopic() const { return settings_.homeAssistant.prefix + "/status"; }
    // Publishes every config again (after a connect, or when Home Assistant
    // says it is online).
    void republish();

  private:
    Publisher& publisher_;
    const Settings& settings_;
    const std::string gatewayTopic_;
    std::mutex mutex_;                            // guards configs_
    std::map<std::string, std::string> configs_;  // topic -> payload
};

}  // namespace gateway
