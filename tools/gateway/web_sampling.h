// Sampling memory over HTTP: a unit's sampling settings, start, stop and
// status, and reading its capture back. Every library call runs on the
// unit's worker, between its polls.
#pragma once

#include <functional>
#include <optional>
#include <string>

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
    PointModel& model_;
    Workers workers_;
};

}  // namespace gateway
