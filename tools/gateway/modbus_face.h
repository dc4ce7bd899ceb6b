// The Modbus TCP face: a server that answers reads from the point model and
// turns writes into commands, answered once the unit has confirmed them.
//
// One thread runs an event loop over every connection with poll(): a read
// costs a lookup under the unit's lock, never an exchange with the unit, so
// one thread keeps up with many clients, and a client that stalls, sends
// garbage or stops reading costs nothing but its own buffers (bounded). A
// write holds back that client's later requests until it is answered, so
// that answers keep the order of the requests.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "config.h"
#include "modbus_map.h"
#include "points.h"

namespace gateway {

class ModbusFace : public Face {
  public:
    // Listens on settings.modbus.listen ("HOST:PORT"); a ConfigError when
    // it cannot.
    ModbusFace(PointModel& model, const Settings& settings);
    ~ModbusFace() override;
    ModbusFace(const ModbusFace&) = delete;
    ModbusFace& operator=(const ModbusFace&) = delete;

    void start();
    // Closes every connection; writes still waiting are not answered.
    void stop();
    // Connections open now.
    std::size_t clients() const { return clientCount_.load(std::memory_order_relaxed); }

    void unitAdded(std::size_t unit, const UnitDescription& description,
                   const std::vector<Point>& points) override;
    void stateChanged(std::size_t, bool) override {}
    void pointReported(std::size_t, const Point&, bool) override {}
    void commandFailed(std::size_t unit, const CommandRequest& request, const std::string& reason,
                       const char* outcome) override;
    void commandConfirmed(std::size_t unit, const CommandRequest& request) override;

  private:
    using Clock = std::chrono::steady_clock;
    struct Client {
        int fd = -1;
        std::uint64_t serial = 0;
        std::vector<std::uint8_t> in;   // received, not answered yet
        std::vector<std::uint8_t> out;  // to send
        Clock::time_point active;
        std::uint64_t writing = 0;  // the write it waits for; 0: none
    };
    struct Pending {
        std::uint64_t client = 0;
        std::size_t left = 0;
        std::uint8_t error = 0;
        std::vector<std::uint8_t> reply, frame;
        Clock::time_point deadline;
    };
    struct Outcome {
        std::uint64_t write;
        std::uint8_t error;  // 0: confirmed
    };

    void run();
    void accept();
    // Reads what has come; false: the connection is to be closed.
    bool receive(Client& c);
    // Answers the complete requests received, up to the next write.
    bool serve(Client& c);
    bool flush(Client& c);
    void finish(std::uint64_t write, std::uint8_t error);
    void answered(const Outcome& o);
    Client* find(std::uint64_t serial);
    void wake();

    PointModel& model_;
    const ModbusSettings& settings_;
    ModbusIds ids_;
    int listener_ = -1;
    int wakeFd_ = -1;
    std::atomic<bool> stopping_{false};
    std::thread thread_;

    // The loop's own.
    std::vector<Client> clients_;
    std::atomic<std::size_t> clientCount_{0};  // clients_.size(), for other threads
    std::map<std::uint64_t, Pending> pending_;
    std::uint64_t nextSerial_ = 1, nextWrite_ = 1;

    std::mutex outcomesMutex_;  // guards outcomes_: filled by the unit workers
    std::vector<Outcome> outcomes_;
};

// --print-modbus-map: finds the units as the gateway does and prints every
// unit's ID and registers (CSV with `csv`). Returns the exit status.
int PrintModbusMap(const Settings& settings, bool csv, std::FILE* out);

}  // namespace gateway
