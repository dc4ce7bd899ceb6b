#include "unit_worker.h"

#include <linux/futex.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <nlohmann/json.hpp>
#include <utility>

#include "library.h"

namespace gateway {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t QUEUE_LIMIT = 256;
// How late a poll may be, so that wake-ups can be taken together: a
// twentieth of the period, at most this.
constexpr auto TIMER_SLACK = std::chrono::milliseconds(5);
constexpr auto REPLY_TIMEOUT = std::chrono::milliseconds(1500);
constexpr std::uint8_t PORT_IMAGE = 8;
constexpr std::uint8_t CHANNEL_BLOCK = 240;  // 60 little-endian 32-bit entries

std::int64_t SignExtend(std::uint32_t v, unsigned bits) {
    const std::uint32_t mask = bits >= 32 ? 0xFFFFFFFFu : (1u << bits) - 1;
    v &= mask;
    if (bits < 32 && (v & (1u << (bits - 1)))) return static_cast<std::int64_t>(v) - (1ll << bits);
    return v;
}

std::int64_t LowBits(std::int64_t v, unsigned bits) {
    return v & ((1ll << bits) - 1);
}

std::uint32_t LE32(const std::uint8_t* p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

std::string StatusText(std::uint16_t status) {
    char text[48];
    std::snprintf(text, sizeof text, "status 0x%04X", status);
    return text;
}

}  // namespace

unsigned CycleStats::bucket(std::uint64_t micros) {
    if (micros < LINEAR) return static_cast<unsigned>(micros);
    const unsigned shift = static_cast<unsigned>(std::bit_width(micros)) - 6;  // 32..63 left
    return std::min(BUCKETS - 1, LINEAR + (shift - 1) * STEPS +
                                     static_cast<unsigned>((micros >> shift) - STEPS));
}

double CycleStats::lowest(unsigned b) {
    if (b < LINEAR) return b;
    const unsigned shift = (b - LINEAR) / STEPS + 1;
    return static_cast<double>((std::uint64_t{STEPS} + (b - LINEAR) % STEPS) << shift);
}

void CycleStats::add(std::chrono::microseconds cycle) {
    if (!enabled_) return;
    const auto micros = static_cast<std::uint64_t>(std::max<std::int64_t>(cycle.count(), 0));
    counts_[bucket(micros)].fetch_add(1, std::memory_order_relaxed);
    std::uint64_t seen = max_.load(std::memory_order_relaxed);
    while (micros > seen && !max_.compare_exchange_weak(seen, micros)) {
    }
}

CycleStats::Summary CycleStats::take() {
    std::uint64_t counts[BUCKETS];
    std::uint64_t total = 0;
    for (unsigned b = 0; b < BUCKETS; ++b) total += counts[b] = counts_[b].exchange(0);
    Summary s;
    s.cycles = total;
    s.max = max_.exchange(0) / 1000.0;
    if (total == 0) return s;
    // A percentile is the top of the bucket it falls into, never above the
    // largest cycle (kept exactly).
    auto at = [&](std::uint64_t rank) {
        std::uint64_t seen = 0;
        for (unsigned b = 0; b < BUCKETS; ++b) {
            seen += counts[b];
            if (seen > rank) return std::min(lowest(b + 1) / 1000.0, s.max);
        }
        return s.max;
    };
    s.p50 = at(total / 2);
    s.p99 = at(std::min(total - 1, total * 99 / 100));
    return s;
}

void PollCounters::add(bool answered, std::chrono::microseconds took) {
    const std::int64_t us = took.count();
    std::size_t b = 0;
    while (b < std::size(POLL_BOUNDS_US) && us > POLL_BOUNDS_US[b]) ++b;
    buckets[b].fetch_add(1, std::memory_order_relaxed);
    polls.fetch_add(1, std::memory_order_relaxed);
    if (!answered) failures.fetch_add(1, std::memory_order_relaxed);
    micros.fetch_add(static_cast<std::uint64_t>(us), std::memory_order_relaxed);
    lastMicros = us;
    lastAtMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::system_clock::now().time_since_epoch())
                   .count();
}

UnitWorker::UnitWorker(PointModel& model, std::size_t index, KELVO_HANDLE handle, CycleStats& stats)
    : model_(model),
      index_(index),
      unit_(model.description(index)),
      handle_(handle),
      stats_(stats) {}

UnitWorker::~UnitWorker() {
    stop(false);
}

void UnitWorker::start() {
    thread_ = std::thread([this] { run(); });
}

void UnitWorker::requestStop() {
    {
        std::lock_guard<std::mutex> hold(mutex_);
        stopping_ = true;
    }
    firstPoll_.notify_all();
    wake();
}

void UnitWorker::wake() {
    signal_.store(1);
    ::syscall(SYS_futex, &signal_, FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
}

void UnitWorker::sleepUntil(Clock::time_point until) {
    // The steady clock is CLOCK_MONOTONIC, the futex's clock for an absolute
    // time; a wake() since the worker last looked ends the wait at once.
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(until.time_since_epoch());
    timespec at{};
    at.tv_sec = static_cast<time_t>(ns.count() / 1000000000);
    at.tv_nsec = static_cast<long>(ns.count() % 1000000000);
    ::syscall(SYS_futex, &signal_, FUTEX_WAIT_BITSET_PRIVATE, 0, &at, nullptr,
              FUTEX_BITSET_MATCH_ANY);
}

void UnitWorker::stop(bool markOffline) {
    requestStop();
    if (thread_.joinable()) thread_.join();
    // Commands still waiting are not carried out: say so.
    std::deque<Pending> left;
    std::deque<std::function<void(KELVO_HANDLE)>> jobs;
    {
        std::lock_guard<std::mutex> hold(mutex_);
        left.swap(queue_);
        jobs.swap(jobs_);
    }
    for (const Pending& p : left) model_.fail(index_, p.request, "the gateway is stopping");
    for (auto& job : jobs) job(nullptr);
    if (markOffline) setOnline(false);
}

std::optional<std::string> UnitWorker::enqueue(const Command& command,
                                               const CommandRequest& request) {
    {
        std::lock_guard<std::mutex> hold(mutex_);
        if (stopping_) return "the gateway is stopping";
        if (queue_.size() >= QUEUE_LIMIT) return "too many commands waiting";
        queue_.push_back({command, request});
    }
    wake();
    return std::nullopt;
}

bool UnitWorker::post(std::function<void(KELVO_HANDLE)> job) {
    {
        std::lock_guard<std::mutex> hold(mutex_);
        if (stopping_ || jobs_.size() >= QUEUE_LIMIT) return false;
        jobs_.push_back(std::move(job));
    }
    wake();
    return true;
}

std::optional<std::int64_t> UnitWorker::readBack(Kind kind, unsigned position) {
    pollingSince_ = Clock::now().time_since_epoch().count();
    const bool answered = poll();
    pollingSince_ = 0;
    setOnline(answered);
    if (!answered) return std::nullopt;
    const auto p = model_.point(index_, kind, position);
    if (!p) return std::nullopt;
    model_.update(index_, kind, position, p->raw, true);
    return p->raw;
}

void UnitWorker::run() {
    // Each worker sleeps until its next poll: a thousand of them wake ten
    // thousand times a second, each wake-up on its own (a timer interrupt,
    // and a processor brought back from idle). Let the kernel wake those
    // due within a few milliseconds of each other together: a poll a little
    // late costs nothing, and the gateway's CPU drops by about a third.
    const auto slack = std::min<std::chrono::nanoseconds>(TIMER_SLACK, unit_.period / 20);
    ::prctl(PR_SET_TIMERSLACK, static_cast<unsigned long>(std::max<std::int64_t>(slack.count(), 1)),
            0, 0, 0);
    // A woken worker need not push aside the thread that runs: it waits for
    // it to sleep (they all do within microseconds), and the processor goes
    // from one worker to the next without preemptions in between (about a
    // seventh less CPU with a thousand units). Same priority as before.
    sched_param none{};
    ::sched_setscheduler(0, SCHED_BATCH, &none);
    auto next = Clock::now();
    for (;;) {
        // Cleared before the queues are looked at: a command or job queued
        // from here on makes the sleep below return at once.
        signal_.store(0);
        // Commands first: every command waiting is carried out before the
        // next poll.
        for (;;) {
            std::unique_lock<std::mutex> lock(mutex_);
            if (stopping_) return;
            if (queue_.empty()) break;
            const Pending pending = std::move(queue_.front());
            queue_.pop_front();
            lock.unlock();
            execute(pending);
        }
        // Then the faces' jobs on the unit (the sampling memory's calls).
        for (;;) {
            std::unique_lock<std::mutex> lock(mutex_);
            if (stopping_) return;
            if (jobs_.empty()) break;
            auto job = std::move(jobs_.front());
            jobs_.pop_front();
            lock.unlock();
            job(handle_);
        }
        if (Clock::now() < next) {
            sleepUntil(next);
            continue;
        }
        const auto begin = Clock::now();
        pollingSince_ = begin.time_since_epoch().count();
        const bool answered = poll();
        pollingSince_ = 0;
        const auto took =
            std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - begin);
        counters_.add(answered, took);
        // The statistics tell how long units take to answer: a unit that
        // does not answer (its wait is the reply timeout) is not counted.
        if (answered) stats_.add(took);
        setOnline(answered);
        {
            std::lock_guard<std::mutex> hold(mutex_);
            if (!polled_) {
                polled_ = true;
                firstPoll_.notify_all();
            }
        }
        // A late cycle is not made up for: the next one is a period away.
        next += unit_.period;
        if (next <= Clock::now()) next = Clock::now() + unit_.period;
    }
}

void UnitWorker::checkStalled() {
    const std::int64_t since = pollingSince_;
    if (since == 0) return;
    const auto stalled = Clock::now() - Clock::time_point(Clock::duration(since));
    if (stalled > REPLY_TIMEOUT + 2 * unit_.period) setOnline(false);
}

template <typename Call>
bool UnitWorker::onUnit(Call&& call) {
    if (call(handle_)) return true;
    KELVO_HANDLE h = library::OpenByIP(unit_.address);
    if (!h || h == handle_) return false;
    handle_ = h;
    return call(handle_);
}

bool UnitWorker::poll() {
    const KelvoModel& m = *unit_.model;
    bool online;
    {
        std::lock_guard<std::mutex> hold(mutex_);
        online = online_;
    }
    // A failed exchange may have left the unit without a connection: ask for
    // one again (this returns at once when there is one).
    if (!online) {
        KELVO_HANDLE h = library::OpenByIP(unit_.address);
        if (!h) return false;
        handle_ = h;
    }
    if (kelvo_kind_is_digital(m.kind)) {
        std::uint8_t image[PORT_IMAGE] = {};
        if (!onUnit([&](KELVO_HANDLE h) { return library::ReadImage(h, PORT_IMAGE, image); })) {
            return false;
        }
        PointModel::Reading read[2 * PORT_IMAGE];
        std::size_t n = 0;
        for (unsigned p = 0; p < m.total && p < PORT_IMAGE; ++p) {
            if (HasPosition(m, Kind::DIGITAL_IN, p)) read[n++] = {Kind::DIGITAL_IN, p, image[p]};
            if (HasPosition(m, Kind::DIGITAL_OUT, p)) read[n++] = {Kind::DIGITAL_OUT, p, image[p]};
        }
        model_.updatePoll(index_, read, n);
        return true;
    }
    if (m.kind == KELVO_KIND_ANALOG_OUT) {
        // Outputs read back as the unsigned codes they are (the model keeps
        // a value written as signed while the unit holds its bits).
        std::uint8_t block[CHANNEL_BLOCK] = {};
        if (!onUnit([&](KELVO_HANDLE h) { return library::ReadImage(h, CHANNEL_BLOCK, block); })) {
            return false;
        }
        PointModel::Reading read[CHANNEL_BLOCK / 4];
        std::size_t n = 0;
        for (unsigned c = 0; c < m.outputs && c < CHANNEL_BLOCK / 4; ++c) {
            read[n++] = {Kind::ANALOG_OUT, c, LowBits(LE32(block + 4 * c), m.bits)};
        }
        model_.updatePoll(index_, read, n);
        return true;
    }
    // Analog inputs and counters: every channel in one exchange, read as
    // the image of the inputs (no working block taken from the heap, which
    // a thousand threads would contend for ten thousand times a second).
    std::uint8_t block[CHANNEL_BLOCK] = {};
    const unsigned count = std::min<unsigned>(m.inputs, 16);
    if (!onUnit([&](KELVO_HANDLE h) {
            return library::ReadImage(h, static_cast<std::uint8_t>(4 * count), block);
        })) {
        return false;
    }
    const Kind kind = m.kind == KELVO_KIND_COUNTER ? Kind::COUNTER : Kind::ANALOG_IN;
    PointModel::Reading read[16];
    for (unsigned c = 0; c < count; ++c) {
        const auto raw = LE32(block + 4 * c);
        read[c] = {kind, c, kind == Kind::COUNTER ? LowBits(raw, m.bits) : SignExtend(raw, m.bits)};
    }
    model_.updatePoll(index_, read, count);
    return true;
}

void UnitWorker::execute(const Pending& p) {
    const Command& c = p.command;
    std::uint16_t status = KELVO_STATUS_OK;
    // Writes set values: carrying one out twice does no harm.
    onUnit([&](KELVO_HANDLE h) {
        if (c.kind == Kind::DIGITAL_OUT) {
            status = library::WriteDIO(h, c.position, static_cast<std::uint32_t>(c.value), c.mask);
        } else if (c.kind == Kind::ANALOG_OUT) {
            status = library::WriteAIO(h, c.position, c.value);
        } else {
            status = library::WriteCOU(h, c.position, c.value);
        }
        return status == KELVO_STATUS_OK;
    });
    if (status == KELVO_STATUS_COMM_ERROR) {
        // The request may have reached the unit and been carried out (the
        // reply was lost, late, wrong, or the connection closed): nobody
        // knows. The output's point tells what the unit holds now.
        const std::string subtopic =
            std::string(KindTopic(c.kind)) + "/" + std::to_string(c.position);
        const auto now = readBack(c.kind, c.position);
        model_.fail(index_, p.request,
                    "outcome unknown: the exchange with the unit failed (" + StatusText(status) +
                        ") and it may have carried the command out; " +
                        (now ? "read back " + subtopic + " = " + std::to_string(*now)
                             : "the unit did not answer the read-back; " + subtopic +
                                   " is read again when it answers"),
                    "unknown");
        return;
    }
    if (status != KELVO_STATUS_OK) {
        // Refused before anything was sent.
        model_.fail(index_, p.request,
                    "the unit did not carry it out (" + StatusText(status) + ")");
        return;
    }
    if (c.kind == Kind::DIGITAL_OUT) {
        model_.confirmMasked(index_, c.position, c.value, c.mask);
    } else {
        model_.update(index_, c.kind, c.position,
                      c.kind == Kind::COUNTER ? LowBits(c.value, unit_.model->bits) : c.value,
                      true);
    }
    model_.confirmed(index_, p.request);
}

void UnitWorker::setOnline(bool online) {
    {
        std::lock_guard<std::mutex> hold(mutex_);
        online_ = online;
    }
    model_.setOnline(index_, online);
}

void UnitWorker::waitFirstPoll(std::chrono::steady_clock::time_point until) {
    std::unique_lock<std::mutex> lock(mutex_);
    firstPoll_.wait_until(lock, until, [&] { return polled_ || stopping_; });
}

}  // namespace gateway
