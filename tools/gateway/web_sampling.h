// Sampling memory over HTTP: a unit's sampling settings, start, stop and
// status, and reading its capture back. Every library call runs on the
// unit's worker, between its polls.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "kelvo.h"
#include "points.h"

namespace httplib {
class Server;
class Response;
}  // namespace httplib

namespace gateway {

class UnitWorker;

class Sampling {
  public:
    using Workers = std::function<UnitWorker*(std::size_t unit)>;
    using Finder =
        std::function<std::optional<std::size_t>(const std::string&, httplib::Response&)>;
    Sampling(PointModel& model, Workers workers) : model_(model), workers_(std::move(workers)) {}
    void routes(httplib::Server& server, Finder find);

  private:
    // Runs `call` on the unit's worker and waits for it; false (with the
    // error sent) when it cannot run or did not finish in time.
    bool onWorker(std::size_t unit, httplib::Response& res,
                  const std::function<void(KELVO_HANDLE)>& call);

    PointModel& model_;
    Workers workers_;
    std::mutex mutex_;  // guards channels_
    // The analog input channels chosen for each unit (empty: all), to tell
    // the columns of its capture.
    std::map<std::size_t, std::vector<std::uint8_t>> channels_;
};

}  // namespace gateway
