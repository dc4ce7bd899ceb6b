#include "unit_worker.h"

#include <algorithm>
#include <nlohmann/json.hpp>
#include <utility>

#include "library.h"

namespace gateway {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t QUEUE_LIMIT = 256;
constexpr auto REPLY_TIMEOUT = std::chrono::milliseconds(1500);
constexpr std::size_t STATS_LIMIT = 1000000;
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

void CycleStats::add(std::chrono::microseconds cycle) {
    if (!enabled_) return;
    std::lock_guard<std::mutex> hold(mutex_);
    if (micros_.size() < STATS_LIMIT) micros_.push_back(cycle.count());
}

CycleStats::Summary CycleStats::take() {
    std::vector<std::int64_t> v;
    {
        std::lock_guard<std::mutex> hold(mutex_);
        v.swap(micros_);
    }
    Summary s;
    s.cycles = v.size();
    if (v.empty()) return s;
    std::sort(v.begin(), v.end());
    s.p50 = v[v.size() / 2] / 1000.0;
    s.p99 = v[std::min(v.size() - 1, v.size() * 99 / 100)] / 1000.0;
    s.max = v.back() / 1000.0;
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
    wake_.notify_all();
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
    wake_.notify_all();
    return std::nullopt;
}

bool UnitWorker::post(std::function<void(KELVO_HANDLE)> job) {
    {
        std::lock_guard<std::mutex> hold(mutex_);
        if (stopping_ || jobs_.size() >= QUEUE_LIMIT) return false;
        jobs_.push_back(std::move(job));
    }
    wake_.notify_all();
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
    auto next = Clock::now();
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stopping_) {
        wake_.wait_until(lock, next,
                         [&] { return stopping_ || !queue_.empty() || !jobs_.empty(); });
        while (!stopping_ && !queue_.empty()) {
            const Pending pending = std::move(queue_.front());
            queue_.pop_front();
            lock.unlock();
            execute(pending);
            lock.lock();
        }
        while (!stopping_ && !jobs_.empty()) {
            auto job = std::move(jobs_.front());
            jobs_.pop_front();
            lock.unlock();
            job(handle_);
            lock.lock();
        }
        if (stopping_ || Clock::now() < next) continue;
        lock.unlock();
        const auto begin = Clock::now();
        pollingSince_ = begin.time_since_epoch().count();
        const bool answered = poll();
        pollingSince_ = 0;
        const auto took =
            std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - begin);
        stats_.add(took);
        counters_.add(answered, took);
        setOnline(answered);
        lock.lock();
        if (!polled_) {
            polled_ = true;
            wake_.notify_all();
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
        for (unsigned p = 0; p < m.total && p < PORT_IMAGE; ++p) {
            if (HasPosition(m, Kind::DIGITAL_IN, p)) {
                model_.update(index_, Kind::DIGITAL_IN, p, image[p]);
            }
            if (HasPosition(m, Kind::DIGITAL_OUT, p)) {
                model_.update(index_, Kind::DIGITAL_OUT, p, image[p]);
            }
        }
        return true;
    }
    if (m.kind == KELVO_KIND_ANALOG_OUT) {
        // Outputs read back as the unsigned codes they are (the model keeps
        // a value written as signed while the unit holds its bits).
        std::uint8_t block[CHANNEL_BLOCK] = {};
        if (!onUnit([&](KELVO_HANDLE h) { return library::ReadImage(h, CHANNEL_BLOCK, block); })) {
            return false;
        }
        for (unsigned c = 0; c < m.outputs; ++c) {
            model_.update(index_, Kind::ANALOG_OUT, c, LowBits(LE32(block + 4 * c), m.bits));
        }
        return true;
    }
    // Analog inputs and counters: every channel in one exchange.
    std::uint8_t channels[16];
    std::int32_t values[16] = {};
    const unsigned count = std::min<unsigned>(m.inputs, 16);
    for (unsigned c = 0; c < count; ++c) channels[c] = static_cast<std::uint8_t>(c);
    if (!onUnit([&](KELVO_HANDLE h) {
            return library::MultiReadAIO(h, count, channels, values) == KELVO_STATUS_OK;
        })) {
        return false;
    }
    const Kind kind = m.kind == KELVO_KIND_COUNTER ? Kind::COUNTER : Kind::ANALOG_IN;
    for (unsigned c = 0; c < count; ++c) {
        const auto raw = static_cast<std::uint32_t>(values[c]);
        model_.update(index_, kind, c,
                      kind == Kind::COUNTER ? LowBits(raw, m.bits) : SignExtend(raw, m.bits));
    }
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
    wake_.wait_until(lock, until, [&] { return polled_ || stopping_; });
}

}  // namespace gateway
