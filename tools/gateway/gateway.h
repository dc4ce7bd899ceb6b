// The gateway: finds the units of its segment, starts a worker per unit and
// connects them to the broker.
#pragma once

#include <signal.h>

#include <atomic>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "broker.h"
#include "common/units.h"
#include "config.h"
#include "discovery.h"
#include "ha_face.h"
#include "modbus_face.h"
#include "mqtt_face.h"
#include "points.h"
#include "sparkplug_face.h"
#include "store.h"
#include "unit_worker.h"
#include "web_face.h"

namespace gateway {

// A unit in the library's device list.
struct ListedUnit {
    std::string address;
    std::string mac;  // "02-4B-56-00-00-09"; empty: unknown
    unsigned model = 0, unitId = 0, aux = 0;
};

class Gateway : public Publisher {
  public:
    explicit Gateway(Settings settings);
    ~Gateway() override;

    // Runs until one of `stopSignals` arrives (they must be blocked in every
    // thread); prints a statistics line to stderr every `statsSeconds` (0:
    // never). Returns the exit status. Finding the units runs on a thread of
    // its own, so that a signal is honoured at any moment: the stop takes at
    // most STOP_LIMIT, start-up included, and ends the process at once when
    // a thread is still held in a library call by then.
    int run(const sigset_t& stopSignals, int statsSeconds);

    void publish(const std::string& topic, const std::string& payload, bool retain) override;
    // What the store holds and has dropped (for a face that shows figures).
    Store::Counts storeCounts() { return store_->counts(); }
    void changed(const std::string& unit, const std::string& subtopic, const std::string& payload,
                 std::chrono::system_clock::time_point at) override;

  private:
    // Asks the units at these addresses who they are, all at once; the ones
    // that answer join the library's list (one Kelvo_Initial).
    std::vector<UnitDescription> identify(const std::vector<FoundUnit>& fresh);
    void addUnits(std::vector<UnitDescription> units);
    // The first search, the broker's start, then every rescan period the
    // units not found yet.
    void scan(std::stop_token stop);
    void rescan(std::stop_token stop);
    // The clean stop: units offline, then the gateway, then the broker.
    void shutdown();
    std::vector<UnitWorker*> workers();
    UnitWorker* worker(std::size_t unit);
    void connected();
    void message(const std::string& topic, const std::string& payload, bool retained);
    void printStats(double seconds);

    Settings settings_;
    std::string gatewayTopic_;  // PREFIX/gateway/ID/state
    CycleStats stats_;
    std::unique_ptr<Broker> broker_;
    std::unique_ptr<kelvo::tools::DeviceList> list_;
    std::atomic<bool> stopping_{false};  // ends identification early
    std::mutex brokerMutex_;             // the broker starts once, unless stopping
    bool brokerStarted_ = false;
    std::vector<ListedUnit> served_;  // the library's list: the published units

    // The units' points, and the faces that show them.
    PointModel model_{settings_};
    MqttFace mqtt_{model_, *this, settings_.prefix};
    std::unique_ptr<HomeAssistantFace> homeAssistant_;  // when enabled
    std::unique_ptr<ModbusFace> modbus_;                // when it listens
    std::unique_ptr<WebFace> web_;                      // when [http] listen is set

    // Store-and-forward: the plain topics' history (stream HISTORY_STREAM)
    // and the Sparkplug face's rows, with a session of its own (its will
    // is the NDEATH).
    static constexpr int HISTORY_STREAM = 0;
    std::unique_ptr<Store> store_;
    std::unique_ptr<Forwarder> history_;
    std::unique_ptr<Broker> sparkplugBroker_;
    std::unique_ptr<SparkplugFace> sparkplug_;

    std::mutex unitsMutex_;  // guards workers_; workers are only ever added
    std::vector<std::unique_ptr<UnitWorker>> workers_;

    std::mutex rescanMutex_;
    std::condition_variable_any rescanWake_;
    std::jthread scanner_;
};

}  // namespace gateway
