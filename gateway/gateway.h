// The gateway: finds the units of its segment, starts a worker per unit and
// connects them to the broker.
#pragma once

#include <signal.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "broker.h"
#include "config.h"
#include "unit_worker.h"

namespace gateway {

class Gateway : public Publisher {
  public:
    explicit Gateway(Settings settings);
    ~Gateway() override;

    // Runs until one of `stopSignals` arrives (they must be blocked in every
    // thread); prints a statistics line to stderr every `statsSeconds` (0:
    // never). Returns the exit status.
    int run(const sigset_t& stopSignals, int statsSeconds);

    void publish(const std::string& topic, const std::string& payload, bool retain) override;

  private:
    std::vector<UnitDescription> findUnits();
    void connected();
    void message(const std::string& topic, const std::string& payload, bool retained);
    void printStats(double seconds);

    Settings settings_;
    std::string gatewayTopic_;  // PREFIX/gateway/ID/state
    CycleStats stats_;
    std::unique_ptr<Broker> broker_;
    std::vector<std::unique_ptr<UnitWorker>> workers_;
    std::map<std::string, UnitWorker*> byName_;
};

}  // namespace gateway
