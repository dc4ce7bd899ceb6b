#include "points.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace gateway {
namespace {

using Clock = std::chrono::steady_clock;

constexpr Kind KINDS[] = {Kind::DIGITAL_IN, Kind::DIGITAL_OUT, Kind::ANALOG_IN, Kind::ANALOG_OUT,
                          Kind::COUNTER};
constexpr unsigned MOST_POSITIONS = 64;

std::int64_t LowBits(std::int64_t v, unsigned bits) {
    return bits >= 63 ? v : v & ((std::int64_t{1} << bits) - 1);
}

bool IsDigital(Kind kind) {
    return kind == Kind::DIGITAL_IN || kind == Kind::DIGITAL_OUT;
}

}  // namespace

std::string Point::topic() const {
    return std::string(KindTopic(kind)) + "/" + std::to_string(position);
}

std::string Point::valueText() const {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", settings.decimals, value);
    // "-0.0" reads as a change of sign that did not happen.
    if (text[0] == '-' && std::strtod(text, nullptr) == 0) return text + 1;
    return text;
}

PointModel::Unit& PointModel::unit(std::size_t index) {
    std::shared_lock<std::shared_mutex> hold(unitsMutex_);
    return *units_.at(index);
}

std::size_t PointModel::size() {
    std::shared_lock<std::shared_mutex> hold(unitsMutex_);
    return units_.size();
}

const UnitDescription& PointModel::description(std::size_t index) {
    return unit(index).description;  // never changes once added
}

std::optional<std::size_t> PointModel::find(const std::string& topic) {
    std::shared_lock<std::shared_mutex> hold(unitsMutex_);
    const auto it = byTopic_.find(topic);
    if (it == byTopic_.end()) return std::nullopt;
    return it->second;
}

std::size_t PointModel::addUnit(const UnitDescription& description) {
    auto u = std::make_unique<Unit>();
    u->description = description;
    const UnitSettings& s = settings_.unitSettings(description.name);
    u->publish = s.publish.value_or(settings_.publish);
    u->heartbeat = std::chrono::seconds(s.heartbeatS.value_or(settings_.heartbeatS));
    for (const Kind kind : KINDS) {
        for (unsigned n = 0; n < MOST_POSITIONS; ++n) {
            if (!HasPosition(*description.model, kind, n)) continue;
            Point p{kind, n, {}};
            const auto it = s.points.find(p.topic());
            if (it != s.points.end()) p.settings = it->second;
            u->points.push_back(std::move(p));
        }
    }
    Unit& added = *u;
    std::size_t index;
    {
        std::lock_guard<std::shared_mutex> hold(unitsMutex_);
        index = units_.size();
        u->index = index;
        byTopic_.emplace(description.topic, index);
        units_.push_back(std::move(u));
    }
    std::lock_guard<std::mutex> hold(added.mutex);
    for (Face* f : faces_) f->unitAdded(index, added.description, added.points);
    return index;
}

void PointModel::attach(std::size_t index, CommandSink* sink) {
    Unit& u = unit(index);
    std::lock_guard<std::mutex> hold(u.mutex);
    u.sink = sink;
}

Point* PointModel::find(Unit& u, Kind kind, unsigned position) {
    for (Point& p : u.points) {
        if (p.kind == kind && p.position == position) return &p;
    }
    return nullptr;
}

// The one resolution of what to report when, for every face: always a
// confirmed command and, in "poll" mode, every poll; otherwise a change
// that moved the engineering value by the deadband since the last report
// (a digital port has none: every change it shows is reported), or an
// unchanged value once its heartbeat is due.
void PointModel::store(Unit& u, Point& p, std::int64_t raw, bool confirmed, const Now& clocks) {
    const unsigned bits = u.description.model->bits;
    // An output reads back as the unsigned code it is; a value written as
    // signed (-1 for 4095, say) stays as long as the unit holds the same bits.
    const bool same =
        p.read &&
        (p.kind == Kind::ANALOG_OUT ? LowBits(p.raw, bits) == LowBits(raw, bits) : p.raw == raw);
    if (!same || confirmed) p.raw = raw;
    p.value = ToEngineering(p.settings, p.raw);
    p.quality = Quality::GOOD;
    p.readAt = clocks.wall;
    p.read = true;
    const auto now = clocks.steady;
    bool report = confirmed || u.publish == PublishMode::POLL || !p.reported;
    if (!report && !same) {
        report = IsDigital(p.kind) || std::fabs(p.value - p.reportedValue) >= p.settings.deadband;
    }
    const bool heartbeat = !report && u.heartbeat.count() > 0 && now - p.reportedAt >= u.heartbeat;
    if (!report && !heartbeat) return;
    p.reported = true;
    p.reportedValue = p.value;
    p.reportedAt = now;
    const bool always = confirmed || heartbeat || u.publish == PublishMode::POLL;
    for (Face* f : faces_) f->pointReported(u.index, p, always);
}

void PointModel::setQuality(Unit& u, Quality quality) {
    if (u.quality == quality && u.qualityTold) return;
    u.quality = quality;
    u.qualityTold = true;
    for (Face* f : faces_) f->qualityChanged(u.index, quality);
}

void PointModel::update(std::size_t index, Kind kind, unsigned position, std::int64_t raw,
                        bool confirmed) {
    Unit& u = unit(index);
    std::lock_guard<std::mutex> hold(u.mutex);
    Point* p = find(u, kind, position);
    if (!p) return;
    const Now now;
    u.polledAt = now.steady;
    store(u, *p, raw, confirmed, now);
    if (u.quality == Quality::STALE) setQuality(u, Quality::GOOD);
}

void PointModel::updatePoll(std::size_t index, const Reading* readings, std::size_t count) {
    Unit& u = unit(index);
    const Now now;
    std::lock_guard<std::mutex> hold(u.mutex);
    u.polledAt = now.steady;
    for (std::size_t i = 0; i < count; ++i) {
        Point* p = find(u, readings[i].kind, readings[i].position);
        if (p) store(u, *p, readings[i].raw, false, now);
    }
    if (u.quality == Quality::STALE) setQuality(u, Quality::GOOD);
}

void PointModel::confirmMasked(std::size_t index, unsigned port, std::int64_t value,
                               std::uint8_t mask) {
    Unit& u = unit(index);
    std::lock_guard<std::mutex> hold(u.mutex);
    Point* p = find(u, Kind::DIGITAL_OUT, port);
    if (!p) return;
    store(u, *p, (p->raw & ~std::int64_t{mask}) | (value & mask), true, Now{});
}

void PointModel::setOnline(std::size_t index, bool online) {
    Unit& u = unit(index);
    std::lock_guard<std::mutex> hold(u.mutex);
    if (!online) {
        for (Point& p : u.points) p.quality = Quality::OFFLINE;
    }
    if (u.online != online || !u.announced) {
        u.online = online;
        u.announced = true;
        for (Face* f : faces_) f->stateChanged(index, online);
    }
    // Online: the unit has just answered a poll.
    if (!online || u.quality == Quality::OFFLINE) {
        setQuality(u, online ? Quality::GOOD : Quality::OFFLINE);
    }
}

bool PointModel::online(std::size_t index) {
    Unit& u = unit(index);
    std::lock_guard<std::mutex> hold(u.mutex);
    return u.online;
}

std::optional<Point> PointModel::point(std::size_t index, Kind kind, unsigned position) {
    Unit& u = unit(index);
    std::lock_guard<std::mutex> hold(u.mutex);
    const Point* p = find(u, kind, position);
    if (!p) return std::nullopt;
    return *p;
}

void PointModel::sweep(Clock::duration after) {
    const auto now = Clock::now();
    for (std::size_t i = 0, n = size(); i < n; ++i) {
        Unit& u = unit(i);
        std::lock_guard<std::mutex> hold(u.mutex);
        if (!u.online || now - u.polledAt < after + 2 * u.description.period) continue;
        for (Point& p : u.points) {
            if (p.quality == Quality::GOOD) p.quality = Quality::STALE;
        }
        setQuality(u, Quality::STALE);
    }
}

void PointModel::submit(std::size_t index, const CommandRequest& request) {
    Unit& u = unit(index);
    std::optional<std::string> refused;
    {
        std::lock_guard<std::mutex> hold(u.mutex);
        const Point* p = find(u, request.kind, request.position);
        auto checked = CheckCommand(*u.description.model, request, p ? &p->settings : nullptr);
        if (auto* r = std::get_if<Rejection>(&checked)) {
            refused = r->reason;
        } else if (!u.online || !u.sink) {
            refused = "unit offline";
        } else {
            refused = u.sink->enqueue(std::get<Command>(checked), request);
        }
    }
    if (refused) fail(index, request, *refused);
}

void PointModel::fail(std::size_t index, const CommandRequest& request, const std::string& reason,
                      const char* outcome) {
    (outcome ? unknown_ : refused_).fetch_add(1, std::memory_order_relaxed);
    if (request.origin) request.origin->commandFailed(index, request, reason, outcome);
}

void PointModel::confirmed(std::size_t index, const CommandRequest& request) {
    confirmed_.fetch_add(1, std::memory_order_relaxed);
    if (request.origin) request.origin->commandConfirmed(index, request);
}

}  // namespace gateway
