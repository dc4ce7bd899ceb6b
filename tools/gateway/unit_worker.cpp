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

UnitWorker::UnitWorker(UnitDescription unit, KELVO_HANDLE handle, const std::string& prefix,
                       Publisher& publisher, CycleStats& stats)
    : unit_(std::move(unit)),
      handle_(handle),
      base_(prefix + "/" + unit_.name),
      publisher_(publisher),
      stats_(stats) {
    retained_["info"] = infoJson();
}

UnitWorker::~UnitWorker() {
    stop(false);
}

std::string UnitWorker::infoJson() const {
    const KelvoModel& m = *unit_.model;
    nlohmann::ordered_json info;
    info["model"] = m.name;
    info["kind"] = kelvo_kind_name(m.kind);
    info["unitId"] = unit_.unitId;
    info["aux"] = unit_.aux;
    info["address"] = unit_.address;
    info["mac"] = unit_.mac.empty() ? nlohmann::ordered_json() : nlohmann::ordered_json(unit_.mac);
    info[kelvo_kind_is_digital(m.kind) ? "ports" : "channels"] = m.total;
    info["inputs"] = m.inputs;
    info["outputs"] = m.outputs;
    info["bits"] = m.bits;
    info["firmware"] =
        unit_.firmware.empty() ? nlohmann::ordered_json() : nlohmann::ordered_json(unit_.firmware);
    info["periodMs"] = unit_.period.count();
    info["gateway"] = unit_.gateway;
    return info.dump();
}

void UnitWorker::start() {
    {
        std::lock_guard<std::mutex> hold(mutex_);
        publisher_.publish(base_ + "/info", retained_["info"], true);
    }
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
    {
        std::lock_guard<std::mutex> hold(mutex_);
        left.swap(queue_);
    }
    for (const Pending& p : left) {
        reject(p.topic, p.payload, "the gateway is stopping");
    }
    if (markOffline) set("state", "offline", true);
}

void UnitWorker::republish() {
    std::lock_guard<std::mutex> hold(mutex_);
    for (const auto& [subtopic, payload] : retained_) {
        publisher_.publish(base_ + "/" + subtopic, payload, true);
    }
}

void UnitWorker::command(const std::string& subtopic, const std::string& payload, bool retained) {
    const std::string topic = base_ + "/" + subtopic;
    auto parsed = ParseCommand(*unit_.model, subtopic, payload);
    if (auto* r = std::get_if<Rejection>(&parsed)) return reject(topic, payload, r->reason);
    if (retained) return reject(topic, payload, "retained commands are not carried out");
    const char* reason;
    {
        std::lock_guard<std::mutex> hold(mutex_);
        if (online_ && !stopping_ && queue_.size() < QUEUE_LIMIT) {
            queue_.push_back({std::get<Command>(parsed), topic, payload});
            wake_.notify_all();
            return;
        }
        reason = online_ && !stopping_ ? "too many commands waiting" : "unit offline";
    }
    reject(topic, payload, reason);
}

std::optional<std::string> UnitWorker::readBack(const std::string& subtopic) {
    pollingSince_ = Clock::now().time_since_epoch().count();
    const bool answered = poll();
    pollingSince_ = 0;
    setOnline(answered);
    if (!answered) return std::nullopt;
    std::string value;
    {
        std::lock_guard<std::mutex> hold(mutex_);
        value = retained_[subtopic];
    }
    set(subtopic, value, true);
    return value;
}

void UnitWorker::reject(const std::string& topic, const std::string& payload,
                        const std::string& reason) {
    report(topic, payload, reason, nullptr);
}

void UnitWorker::report(const std::string& topic, const std::string& payload,
                        const std::string& reason, const char* outcome) {
    // Payloads need not be text: bytes outside printable ASCII show as '?'.
    std::string shown = payload.substr(0, 256);
    for (char& ch : shown) {
        if (ch < 0x20 || ch > 0x7E) ch = '?';
    }
    nlohmann::ordered_json error;
    error["topic"] = topic;
    error["payload"] = shown;
    error["reason"] = reason;
    if (outcome) error["outcome"] = outcome;
    publisher_.publish(base_ + "/error", error.dump(), false);
}

void UnitWorker::run() {
    auto next = Clock::now();
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stopping_) {
        wake_.wait_until(lock, next, [&] { return stopping_ || !queue_.empty(); });
        while (!stopping_ && !queue_.empty()) {
            const Pending pending = std::move(queue_.front());
            queue_.pop_front();
            lock.unlock();
            execute(pending);
            lock.lock();
        }
        if (stopping_ || Clock::now() < next) continue;
        lock.unlock();
        const auto begin = Clock::now();
        pollingSince_ = begin.time_since_epoch().count();
        const bool answered = poll();
        pollingSince_ = 0;
        stats_.add(std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - begin));
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
            if (HasPosition(m, Kind::DIGITAL_IN, p)) setValue(Kind::DIGITAL_IN, p, image[p]);
            if (HasPosition(m, Kind::DIGITAL_OUT, p)) setValue(Kind::DIGITAL_OUT, p, image[p]);
        }
        return true;
    }
    if (m.kind == KELVO_KIND_ANALOG_OUT) {
        // Outputs read back as the unsigned codes they are; a value
        // published as written (-1 for 4095, say) stays as long as the unit
        // holds the same bits.
        std::uint8_t block[CHANNEL_BLOCK] = {};
        if (!onUnit([&](KELVO_HANDLE h) { return library::ReadImage(h, CHANNEL_BLOCK, block); })) {
            return false;
        }
        for (unsigned c = 0; c < m.outputs; ++c) {
            const std::int64_t value = LowBits(LE32(block + 4 * c), m.bits);
            const std::string subtopic = "ao/" + std::to_string(c);
            {
                std::lock_guard<std::mutex> hold(mutex_);
                const auto it = retained_.find(subtopic);
                if (it != retained_.end() &&
                    LowBits(std::stoll(it->second), m.bits) == LowBits(value, m.bits)) {
                    continue;
                }
            }
            setValue(Kind::ANALOG_OUT, c, value);
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
        setValue(kind, c, kind == Kind::COUNTER ? LowBits(raw, m.bits) : SignExtend(raw, m.bits));
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
        // knows. The output's topic tells what the unit holds now.
        const std::string subtopic =
            std::string(KindTopic(c.kind)) + "/" + std::to_string(c.position);
        const auto now = readBack(subtopic);
        report(p.topic, p.payload,
               "outcome unknown: the exchange with the unit failed (" + StatusText(status) +
                   ") and it may have carried the command out; " +
                   (now ? "read back " + subtopic + " = " + *now
                        : "the unit did not answer the read-back; " + subtopic +
                              " is read again when it answers"),
               "unknown");
        return;
    }
    if (status != KELVO_STATUS_OK) {
        // Refused before anything was sent.
        reject(p.topic, p.payload, "the unit did not carry it out (" + StatusText(status) + ")");
        return;
    }
    std::int64_t confirmed = c.value;
    if (c.kind == Kind::DIGITAL_OUT) {
        std::int64_t old = 0;
        {
            std::lock_guard<std::mutex> hold(mutex_);
            const auto it = retained_.find("do/" + std::to_string(c.position));
            if (it != retained_.end()) old = std::stoll(it->second);
        }
        confirmed = (old & ~c.mask) | (c.value & c.mask);
    } else if (c.kind == Kind::COUNTER) {
        confirmed = LowBits(c.value, unit_.model->bits);
    }
    setValue(c.kind, c.position, confirmed, true);
}

void UnitWorker::set(const std::string& subtopic, const std::string& payload, bool force) {
    std::lock_guard<std::mutex> hold(mutex_);
    auto& held = retained_[subtopic];
    if (held == payload && !force) return;
    held = payload;
    publisher_.publish(base_ + "/" + subtopic, payload, true);
}

void UnitWorker::setValue(Kind kind, unsigned position, std::int64_t value, bool force) {
    set(std::string(KindTopic(kind)) + "/" + std::to_string(position), std::to_string(value),
        force);
}

void UnitWorker::setOnline(bool online) {
    {
        std::lock_guard<std::mutex> hold(mutex_);
        online_ = online;
    }
    set("state", online ? "online" : "offline");
}

void UnitWorker::waitFirstPoll(std::chrono::steady_clock::time_point until) {
    std::unique_lock<std::mutex> lock(mutex_);
    wake_.wait_until(lock, until, [&] { return polled_ || stopping_; });
}

}  // namespace gateway
