// The plain MQTT face of the point model: PREFIX/UNIT/... topics, retained,
// and the /set commands.
#pragma once

#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <vector>

#include "points.h"

namespace gateway {

// Where the faces publish; the gateway forwards to the broker.
class Publisher {
  public:
    virtual ~Publisher() = default;
    virtual void publish(const std::string& topic, const std::string& payload, bool retain) = 0;
    // A value topic changed to `payload`, read at `at`: kept for the
    // history when the broker cannot take it now.
    virtual void changed(const std::string& unit, const std::string& subtopic,
                         const std::string& payload, std::chrono::system_clock::time_point at) {
        (void)unit;
        (void)subtopic;
        (void)payload;
        (void)at;
    }
};

class MqttFace : public Face {
  public:
    MqttFace(PointModel& model, Publisher& publisher, const std::string& prefix)
        : model_(model), publisher_(publisher), prefix_(prefix) {}

    void unitAdded(std::size_t unit, const UnitDescription& description,
                   const std::vector<Point>& points) override;
    void stateChanged(std::size_t unit, bool online) override;
    void pointReported(std::size_t unit, const Point& point, bool always) override;
    void commandFailed(std::size_t unit, const CommandRequest& request, const std::string& reason,
                       const char* outcome) override;
    // PREFIX/UNIT/quality: good, stale or offline.
    void qualityChanged(std::size_t unit, Quality quality) override;

    // Publishes every retained topic of a unit again (after a connect).
    void republish(std::size_t unit);
    // The subscriptions for a unit's commands.
    std::vector<std::string> patterns(std::size_t unit);
    // A message on PREFIX/UNIT/...: a command for a unit of this gateway
    // goes to the model; other topics are not ours. A retained command is
    // refused: the broker would hand it out again on every connect.
    void message(const std::string& topic, const std::string& payload, bool retained);

  private:
    struct Unit {
        std::string base;                             // "PREFIX/UNIT"
        std::string name;                             // "UNIT"
        std::mutex mutex;                             // guards retained
        std::map<std::string, std::string> retained;  // subtopic -> payload
    };
    Unit& unit(std::size_t index);
    // Publishes when the retained value changes (or always, with `force`);
    // true when it did. `first`: the topic had no value before.
    bool set(Unit& u, const std::string& subtopic, const std::string& payload, bool force,
             bool* first = nullptr);
    // A value topic: set(), and a change from an earlier value goes to the
    // history (a first reading is no change: the retained topic carries it).
    void change(Unit& u, const std::string& subtopic, const std::string& payload, bool force,
                std::chrono::system_clock::time_point at);

    PointModel& model_;
    Publisher& publisher_;
    const std::string prefix_;
    std::shared_mutex unitsMutex_;  // guards units_ (the vector); shared by lookups
    std::vector<std::unique_ptr<Unit>> units_;
};

// The unit's info JSON: model, kind, unitId, ..., and the names and scales
// of its points where they are configured.
std::string InfoJson(const UnitDescription& unit, const std::vector<Point>& points);

}  // namespace gateway
