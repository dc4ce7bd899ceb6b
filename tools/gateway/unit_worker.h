// One worker thread per unit: polls it every period into the point model,
// and carries out the commands the model hands it. It knows no face.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "commands.h"
#include "kelvo.h"
#include "kelvo_models.h"
#include "points.h"

namespace gateway {

// Cycle times of all workers, for the statistics line: counted in buckets
// about 3 % wide, so that a thousand workers add to it without waiting for
// each other.
class CycleStats {
  public:
    // Cycles are counted only once someone asks for them.
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
    // Below 64 µs one bucket per µs; above, 32 per doubling.
    static constexpr unsigned LINEAR = 64, STEPS = 32, BUCKETS = LINEAR + STEPS * 40;
    static unsigned bucket(std::uint64_t micros);
    static double lowest(unsigned bucket);  // µs

    std::atomic<bool> enabled_{false};
    std::atomic<std::uint64_t> counts_[BUCKETS] = {};
    std::atomic<std::uint64_t> max_{0};
};

// One unit's polls for the metrics: how many, how many failed, and how long
// they took, in buckets of at most POLL_BOUNDS_US (the last: longer).
struct PollCounters {
    static constexpr std::int64_t POLL_BOUNDS_US[] = {
        1000, 2500, 5000, 10000, 25000, 50000, 100000, 250000, 500000, 1000000, 2500000};
    static constexpr std::size_t BUCKETS = std::size(POLL_BOUNDS_US) + 1;
    std::atomic<std::uint64_t> polls{0}, failures{0}, micros{0};
    std::atomic<std::uint64_t> buckets[BUCKETS] = {};
    std::atomic<std::int64_t> lastMicros{-1};  // the last poll's time; -1: none yet
    std::atomic<std::int64_t> lastAtMs{0};     // when it ended, system clock ms; 0: never
    void add(bool answered, std::chrono::microseconds took);
};

class UnitWorker : public CommandSink {
    using Clock = std::chrono::steady_clock;

  public:
    // `index`: the unit's place in the model, which describes it.
    UnitWorker(PointModel& model, std::size_t index, KELVO_HANDLE handle, CycleStats& stats);
    ~UnitWorker() override;
    UnitWorker(const UnitWorker&) = delete;
    UnitWorker& operator=(const UnitWorker&) = delete;

    std::size_t index() const { return index_; }

    void start();
    // Asks the thread to end, without waiting for it (so that many units
    // wind down together); stop() then waits.
    void requestStop();
    // Ends the thread; with `markOffline` the unit's state becomes offline.
    void stop(bool markOffline);
    // A checked command, queued for the worker; a reason when it cannot be.
    std::optional<std::string> enqueue(const Command& command,
                                       const CommandRequest& request) override;
    // Waits until the first poll has told whether the unit answers.
    void waitFirstPoll(std::chrono::steady_clock::time_point until);
    // Called every so often from another thread: a poll that has gone on
    // longer than the reply timeout plus two periods marks the unit offline.
    // (Reconnecting to a unit that vanished from the network blocks in the
    // system's connect, far longer than the reply timeout.)
    void checkStalled();
    const PollCounters& counters() const { return counters_; }
    // Runs `job` on this thread between polls, with the unit's handle (for
    // calls besides polls and writes); false when the worker is stopping or
    // too many jobs wait. A job still waiting when the worker stops is called
    // with a null handle, to tell its caller.
    bool post(std::function<void(KELVO_HANDLE)> job);

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
    // Sleeps until `until`, or until wake() (a command, the stop).
    void sleepUntil(Clock::time_point until);
    void wake();
    void setOnline(bool online);
    // Polls the unit at once, so that the output's topic shows what it holds
    // now; its raw value, or nothing when the unit did not answer.
    std::optional<std::int64_t> readBack(Kind kind, unsigned position);

    PointModel& model_;
    const std::size_t index_;
    const UnitDescription& unit_;
    KELVO_HANDLE handle_;
    CycleStats& stats_;

    // Set by wake(); the worker sleeps on it (a futex) while it is 0. Not a
    // condition variable: after a wait on one the mutex is released with a
    // system call every time, ten thousand a second with a thousand units.
    std::atomic<std::uint32_t> signal_{0};

    std::mutex mutex_;  // guards everything below
    std::condition_variable firstPoll_;
    struct Pending {
        Command command;
        CommandRequest request;
    };
    std::deque<Pending> queue_;
    std::deque<std::function<void(KELVO_HANDLE)>> jobs_;
    PollCounters counters_;
    bool online_ = false;
    bool polled_ = false;
    bool stopping_ = false;
    std::thread thread_;
    std::atomic<std::int64_t> pollingSince_{0};  // steady-clock ns; 0: not polling
};

}  // namespace gateway
