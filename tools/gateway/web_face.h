// The web face of the point model: a dashboard page, an HTTP API for the
// units' points, their commands and sampling memory, live updates as
// Server-Sent Events, and metrics in the Prometheus text format.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "points.h"
#include "store.h"

namespace gateway {

class UnitWorker;

// What the face reads besides the model; set by the gateway.
struct WebSources {
    // The worker of a unit (null: none), for its poll counters and jobs.
    std::function<UnitWorker*(std::size_t unit)> worker;
    std::function<bool()> brokerConnected;
    // Connections to the Modbus face; unset: it is off.
    std::function<std::size_t()> modbusClients;
    // The store of changes that wait for the broker.
    std::function<Store::Counts()> store;
};

class WebFace : public Face {
  public:
    // Binds the listening socket at once (a ConfigError when it cannot:
    // address in use, no such address, unreadable certificate); serving
    // starts with start().
    WebFace(PointModel& model, const Settings& settings, WebSources sources);
    ~WebFace() override;

    void start();
    // Ends every event stream and the server.
    void stop();

    void unitAdded(std::size_t unit, const UnitDescription& description,
                   const std::vector<Point>& points) override;
    void stateChanged(std::size_t unit, bool online) override;
    void pointReported(std::size_t unit, const Point& point, bool always) override;
    void commandFailed(std::size_t unit, const CommandRequest& request, const std::string& reason,
                       const char* outcome) override;
    void commandConfirmed(std::size_t unit, const CommandRequest& request) override;

    struct Impl;

  private:
    std::unique_ptr<Impl> impl_;
};

// The files of the page, built into the program.
struct Asset {
    const char* name;  // "index.html", "chart.min.js"
    const unsigned char* data;
    std::size_t size;
};
extern const Asset WEB_ASSETS[];
extern const std::size_t WEB_ASSETS_COUNT;

}  // namespace gateway
