// The Sparkplug B face of the point model: the gateway as an edge node
// (spBv1.0/GROUP/.../NODE), each unit a device whose metrics are named as
// its plain topics below the unit (di/0, di/0/3, ai/2, ai/2/value, cnt/0).
//
// Every message of the node goes out from one thread, the forwarder's, in
// the order of one sequence number (0..255). Data, deaths and births of
// units go through the forwarder (store.h): straight out while the session
// is live, otherwise into the store (stream SPARKPLUG_STREAM), so that what
// happens while the broker or the primary host application is away is sent
// later, in order, its metrics marked historical.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "broker.h"
#include "points.h"
#include "store.h"

namespace gateway {

class SparkplugFace : public Face {
  public:
    static constexpr int SPARKPLUG_STREAM = 1;

    SparkplugFace(PointModel& model, const Settings& settings, Store& store);
    ~SparkplugFace() override;

    void unitAdded(std::size_t unit, const UnitDescription& description,
                   const std::vector<Point>& points) override;
    void stateChanged(std::size_t unit, bool online) override;
    void pointReported(std::size_t unit, const Point& point, bool always) override;
    void commandFailed(std::size_t unit, const CommandRequest& request, const std::string& reason,
                       const char* outcome) override;

    // The NDEATH, registered as the will of every connection, with the
    // bdSeq of that connection.
    Broker::Will will();
    // Sends through `broker` from now on (before it starts).
    void attach(Broker& broker);
    void start();
    // The clean end: the forwarder stops, then the NDEATH is published.
    void stop();

    // From the broker.
    void connected();
    void message(const std::string& topic, const std::string& payload, bool retained);
    void acked(std::uint64_t token);
    // Rows were committed.
    void notifyStore() {
        if (forwarder_) forwarder_->notify();
    }

  private:
    struct Unit {
        std::string device;                                         // the unit's topic level
        std::map<std::pair<int, unsigned>, std::int64_t> reported;  // last raw sent, by point
    };
    Unit& unit(std::size_t index);
    std::string topic(const char* type, const std::string& device = "") const;
    // The forwarder's hooks.
    bool prepare(bool fresh);
    std::optional<Forwarder::Message> encode(const Store::Record& row, bool historical);
    Forwarder::Message nodeBirth();
    std::optional<Forwarder::Message> deviceBirth(std::size_t index);
    std::uint64_t nextSeq();
    void command(const std::string& device, const std::string& payload);

    PointModel& model_;
    const Settings& settings_;
    Store& store_;
    Broker* broker_ = nullptr;
    std::unique_ptr<Forwarder> forwarder_;
    const std::string base_;               // "spBv1.0/GROUP/"
    std::string stateTopic_;               // spBv1.0/STATE/HOST; empty: no primary host
    std::atomic<std::int64_t> bdSeq_{-1};  // of the current connection
    std::atomic<bool> hostOnline_{false};
    std::uint64_t hostStateAt_ = 0;  // the broker's thread's: the newest STATE's timestamp
    std::atomic<bool> rebirth_{false};
    // The forwarder thread's.
    bool born_ = false;
    std::uint8_t seq_ = 0;

    std::mutex unitsMutex_;  // guards units_ (the vector)
    std::vector<std::unique_ptr<Unit>> units_;
};

}  // namespace gateway
