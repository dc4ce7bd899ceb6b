// One worker thread per unit: polls it every period, publishes what
// changed, and carries out the commands the broker hands it.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "commands.h"
#include "kelvo.h"
#include "kelvo_models.h"

namespace gateway {

// Where the workers publish; the gateway forwards to the broker.
class Publisher {
  public:
    virtual ~Publisher() = default;
    virtual void publish(const std::string& topic, const std::string& payload, bool retain) = 0;
};

// Cycle times of all workers, for the statistics line.
class CycleStats {
  public:
    // Cycles are kept only once someone asks for them.
    void enable() { enabled_ = true; }
    void add(std::chrono::microseconds cycle);
    // Median, 99th percentile and largest cycle in ms since the last call,
    // and how many cycles there were.
    struct Summary {
        std::size_t cycles = 0;
        double p50 = 0, p99 = 0, max = 0;
    };
    Summary take();

  private:
    std::atomic<bool> enabled_{false};
    std::mutex mutex_;
    std::vector<std::int64_t> micros_;
};

struct UnitDescription {
    const KelvoModel* model = nullptr;
    std::uint8_t unitId = 0;
    std::uint8_t aux = 0;
    std::string address;
    std::string mac;       // empty: unknown
    std::string firmware;  // empty: unknown
    std::string name;      // "KV-108-1"
    std::string gateway;   // the ID of the gateway that publishes it
    std::chrono::milliseconds period{100};
};

class UnitWorker {
  public:
    UnitWorker(UnitDescription unit, KELVO_HANDLE handle, const std::string& prefix,
               Publisher& publisher, CycleStats& stats);
    ~UnitWorker();
    UnitWorker(const UnitWorker&) = delete;
    UnitWorker& operator=(const UnitWorker&) = delete;

    const std::string& name() const { return unit_.name; }
    const std::string& base() const { return base_; }  // "PREFIX/UNIT"

    void start();
    // Asks the thread to end, without waiting for it (so that many units
    // wind down together); stop() then waits.
    void requestStop();
    // Ends the thread; with `markOffline` the unit's state becomes offline.
    void stop(bool markOffline);
    // Publishes every retained topic of the unit again (after a connect).
    void republish();
    // A message on "PREFIX/UNIT/<subtopic>"; checked here, run by the worker.
    // A retained command is refused: the broker would hand it out again on
    // every connect.
    void command(const std::string& subtopic, const std::string& payload, bool retained);
    // Waits until the first poll has told whether the unit answers.
    void waitFirstPoll(std::chrono::steady_clock::time_point until);
    // Called every so often from another thread: a poll that has gone on
    // longer than the reply timeout plus two periods marks the unit offline.
    // (Reconnecting to a unit that vanished from the network blocks in the
    // system's connect, far longer than the reply timeout.)
    void checkStalled();

  private:
    struct Pending;
    void run();
    bool poll();
    // Runs `call` (true: done) on the unit's handle. When it fails because
    // the gateway has rebuilt the library's list (the unit has another
    // handle now), it runs once more on the new handle.
    template <typename Call>
    bool onUnit(Call&& call);
    void execute(const Pending& pending);
    // Publishes when the retained value changes (or always, with `force`).
    void set(const std::string& subtopic, const std::string& payload, bool force = false);
    void setValue(Kind kind, unsigned position, std::int64_t value, bool force = false);
    void setOnline(bool online);
    // A command that changed nothing: PREFIX/UNIT/error {"topic", "payload", "reason"}.
    void reject(const std::string& topic, const std::string& payload, const std::string& reason);
    // The same with "outcome" added (e.g. "unknown": it may have been carried out).
    void report(const std::string& topic, const std::string& payload, const std::string& reason,
                const char* outcome);
    // Polls the unit at once and publishes `subtopic` again; its value, or
    // nothing when the unit did not answer.
    std::optional<std::string> readBack(const std::string& subtopic);
    std::string infoJson() const;

    const UnitDescription unit_;
    KELVO_HANDLE handle_;
    const std::string base_;
    Publisher& publisher_;
    CycleStats& stats_;

    std::mutex mutex_;  // guards everything below
    std::condition_variable wake_;
    std::map<std::string, std::string> retained_;  // subtopic -> payload
    struct Pending {
        Command command;
        std::string topic;
        std::string payload;
    };
    std::deque<Pending> queue_;
    bool online_ = false;
    bool polled_ = false;
    bool stopping_ = false;
    std::thread thread_;
    std::atomic<std::int64_t> pollingSince_{0};  // steady-clock ns; 0: not polling
};

}  // namespace gateway
