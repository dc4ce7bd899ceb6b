#include "sparkplug_face.h"

#include <chrono>
#include <cstdio>
#include <nlohmann/json.hpp>

#include "sparkplug_b.pb.h"

namespace gateway {
namespace {

using kelvo::sparkplug::Payload;
using Metric = Payload::Metric;

constexpr unsigned PORT_BITS = 8;
// Sparkplug datatypes.
constexpr std::uint32_t INT64 = 4, UINT8 = 5, DOUBLE = 10, BOOLEAN = 11, STRING = 12;
constexpr std::uint32_t INT8 = 1, INT16 = 2, INT32 = 3;
// What a stored row of this face holds (its first byte).
constexpr char ROW_DATA = 'D', ROW_BIRTH = 'B', ROW_DEATH = 'X';
constexpr const char* REBIRTH = "Node Control/Rebirth";
constexpr int BDSEQ_MODULO = 256;
constexpr std::size_t MESSAGE_LIMIT = 64 * 1024;

std::uint64_t NowMs() {
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                          std::chrono::system_clock::now().time_since_epoch())
                                          .count());
}

std::uint64_t Ms(std::chrono::system_clock::time_point at) {
    return static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(at.time_since_epoch()).count());
}

bool IsDigital(Kind kind) {
    return kind == Kind::DIGITAL_IN || kind == Kind::DIGITAL_OUT;
}

// A metric; the datatype only where it is declared (births, the bdSeq):
// data and commands leave it out.
Metric* Add(Payload& payload, const std::string& name, std::optional<std::uint32_t> datatype,
            std::uint64_t at) {
    Metric* m = payload.add_metrics();
    m->set_name(name);
    if (datatype) m->set_datatype(*datatype);
    m->set_timestamp(at);
    return m;
}

// The point's metrics: the port and (with `bits`, those that differ from
// `before`, or all) its lines; the raw value and, when scaled, the
// engineering value (with its unit, in a birth).
void PointMetrics(Payload& payload, const Point& p, std::optional<std::int64_t> before,
                  bool birth) {
    const std::string name = p.topic();
    const std::uint64_t at = Ms(p.readAt);
    auto type = [&](std::uint32_t datatype) {
        return birth ? std::optional<std::uint32_t>(datatype) : std::nullopt;
    };
    auto value = [&](Metric* m, auto set) {
        if (!p.read) {
            m->set_is_null(true);
        } else {
            set(m);
        }
    };
    if (IsDigital(p.kind)) {
        value(Add(payload, name, type(UINT8), at),
              [&](Metric* m) { m->set_int_value(static_cast<std::uint32_t>(p.raw & 0xFF)); });
        for (unsigned b = 0; b < PORT_BITS; ++b) {
            const bool on = (p.raw >> b) & 1;
            if (before && p.read && (((*before >> b) & 1) != 0) == on) continue;
            value(Add(payload, name + "/" + std::to_string(b), type(BOOLEAN), at),
                  [&](Metric* m) { m->set_boolean_value(on); });
        }
        return;
    }
    value(Add(payload, name, type(INT64), at),
          [&](Metric* m) { m->set_long_value(static_cast<std::uint64_t>(p.raw)); });
    if (p.settings.scaled) {
        Metric* m = Add(payload, name + "/value", type(DOUBLE), at);
        value(m, [&](Metric* v) { v->set_double_value(p.value); });
        if (birth && !p.settings.unit.empty()) {
            auto* properties = m->mutable_properties();
            properties->add_keys("engUnit");
            auto* unit = properties->add_values();
            unit->set_type(STRING);
            unit->set_string_value(p.settings.unit);
        }
    }
}

// A DCMD metric's value as the plain topics' command text. Without a
// datatype a value is read as the gateway declares its metrics: 32-bit
// values (ports) unsigned, 64-bit ones (channels, counters) signed.
std::optional<std::string> CommandText(const Metric& m) {
    char text[64];
    switch (m.value_case()) {
        case Metric::kBooleanValue:
            return m.boolean_value() ? "true" : "false";
        case Metric::kIntValue: {
            const std::uint32_t v = m.int_value();
            std::int64_t n = v;
            if (m.datatype() == INT8) n = static_cast<std::int8_t>(v);
            if (m.datatype() == INT16) n = static_cast<std::int16_t>(v);
            if (m.datatype() == INT32) n = static_cast<std::int32_t>(v);
            return std::to_string(n);
        }
        case Metric::kLongValue:
            if (m.datatype() == INT64)
                return std::to_string(static_cast<std::int64_t>(m.long_value()));
            return std::to_string(m.long_value());
        case Metric::kFloatValue:
            std::snprintf(text, sizeof text, "%.9g", static_cast<double>(m.float_value()));
            return std::string(text);
        case Metric::kDoubleValue:
            std::snprintf(text, sizeof text, "%.17g", m.double_value());
            return std::string(text);
        case Metric::kStringValue:
            return m.string_value();
        default:
            return std::nullopt;
    }
}

}  // namespace

SparkplugFace::SparkplugFace(PointModel& model, const Settings& settings, Store& store)
    : model_(model),
      settings_(settings),
      store_(store),
      base_("spBv1.0/" + settings.sparkplug.groupId + "/") {
    if (!settings.sparkplug.primaryHost.empty()) {
        stateTopic_ = "spBv1.0/STATE/" + settings.sparkplug.primaryHost;
    }
}

SparkplugFace::~SparkplugFace() {
    if (forwarder_) forwarder_->stop();
}

std::string SparkplugFace::topic(const char* type, const std::string& device) const {
    std::string t = base_ + type + "/" + settings_.id;
    if (!device.empty()) t += "/" + device;
    return t;
}

SparkplugFace::Unit& SparkplugFace::unit(std::size_t index) {
    std::lock_guard<std::mutex> hold(unitsMutex_);
    return *units_.at(index);
}

void SparkplugFace::unitAdded(std::size_t index, const UnitDescription& description,
                              const std::vector<Point>&) {
    auto u = std::make_unique<Unit>();
    u->device = description.topic;
    std::lock_guard<std::mutex> hold(unitsMutex_);
    if (units_.size() <= index) units_.resize(index + 1);
    units_[index] = std::move(u);
}

void SparkplugFace::stateChanged(std::size_t index, bool online) {
    Unit& u = unit(index);
    forwarder_->submit(u.device, std::string(1, online ? ROW_BIRTH : ROW_DEATH),
                       static_cast<std::int64_t>(NowMs()));
}

void SparkplugFace::pointReported(std::size_t index, const Point& p, bool always) {
    Unit& u = unit(index);
    const std::pair<int, unsigned> key{static_cast<int>(p.kind), p.position};
    const auto it = u.reported.find(key);
    std::optional<std::int64_t> before;
    if (!always && it != u.reported.end()) before = it->second;
    Payload payload;
    PointMetrics(payload, p, before, false);
    u.reported[key] = p.raw;
    std::string row(1, ROW_DATA);
    payload.AppendToString(&row);
    forwarder_->submit(u.device, std::move(row), static_cast<std::int64_t>(Ms(p.readAt)));
}

void SparkplugFace::commandFailed(std::size_t index, const CommandRequest& request,
                                  const std::string& reason, const char* outcome) {
    std::fprintf(stderr, "kelvo-gateway: Sparkplug DCMD %s %s: %s%s%s\n",
                 unit(index).device.c_str(), request.topic.c_str(), reason.c_str(),
                 outcome ? "; outcome " : "", outcome ? outcome : "");
}

Broker::Will SparkplugFace::will() {
    Broker::Will w;
    w.topic = topic("NDEATH");
    w.retain = false;
    w.clean = true;
    // A new bdSeq for every connect, kept in the store so that a restarted
    // gateway goes on from it.
    w.payload = [this] {
        const std::int64_t next = (store_.number("bdSeq", -1) + 1) % BDSEQ_MODULO;
        store_.setNumber("bdSeq", next);
        bdSeq_ = next;
        Payload death;
        death.set_timestamp(NowMs());
        Add(death, "bdSeq", INT64, NowMs())->set_long_value(static_cast<std::uint64_t>(next));
        return death.SerializeAsString();
    };
    return w;
}

void SparkplugFace::attach(Broker& broker) {
    broker_ = &broker;
    forwarder_ = std::make_unique<Forwarder>(
        store_, SPARKPLUG_STREAM, broker,
        Forwarder::Hooks{
            [this](bool fresh) { return prepare(fresh); },
            [this](const Store::Record& row, bool historical) { return encode(row, historical); }});
}

void SparkplugFace::start() {
    if (forwarder_) forwarder_->start();
}

void SparkplugFace::stop() {
    if (!forwarder_) return;
    forwarder_->stop();
    // An intentional end of the session: the NDEATH, since a clean
    // disconnect does not publish the will.
    if (broker_ && broker_->connected() && bdSeq_ >= 0) {
        Payload death;
        death.set_timestamp(NowMs());
        Add(death, "bdSeq", INT64, NowMs())
            ->set_long_value(static_cast<std::uint64_t>(bdSeq_.load()));
        broker_->publish(topic("NDEATH"), death.SerializeAsString(), false);
    }
}

void SparkplugFace::connected() {
    if (!stateTopic_.empty()) hostOnline_ = false;  // until this session hears it
    std::vector<std::string> patterns{topic("NCMD"), topic("DCMD") + "/+"};
    if (!stateTopic_.empty()) patterns.push_back(stateTopic_);
    broker_->subscribe(patterns);
    if (forwarder_) forwarder_->notify();
}

void SparkplugFace::acked(std::uint64_t token) {
    if (forwarder_) forwarder_->acked(token);
}

std::uint64_t SparkplugFace::nextSeq() {
    return seq_++;  // wraps after 255
}

bool SparkplugFace::prepare(bool fresh) {
    if (fresh) born_ = false;
    if (!stateTopic_.empty() && !hostOnline_) {
        // The primary host is away: hold everything. A session that was
        // born ends (its will says so), and the next one waits for the host.
        if (born_) {
            born_ = false;
            broker_->drop();
        }
        return false;
    }
    if (born_ && !rebirth_.exchange(false)) return true;
    born_ = true;
    seq_ = 0;
    forwarder_->sendFirst(nodeBirth());
    for (std::size_t i = 0, n = model_.size(); i < n; ++i) {
        if (auto birth = deviceBirth(i)) forwarder_->sendFirst(std::move(*birth));
    }
    return true;
}

Forwarder::Message SparkplugFace::nodeBirth() {
    Payload birth;
    const std::uint64_t now = NowMs();
    birth.set_timestamp(now);
    birth.set_seq(nextSeq());
    Add(birth, "bdSeq", INT64, now)->set_long_value(static_cast<std::uint64_t>(bdSeq_.load()));
    Add(birth, REBIRTH, BOOLEAN, now)->set_boolean_value(false);
    return {topic("NBIRTH"), birth.SerializeAsString(), false, 0};
}

std::optional<Forwarder::Message> SparkplugFace::deviceBirth(std::size_t index) {
    Payload birth;
    bool online = false;
    model_.visit(index, [&](const std::vector<Point>& points, bool isOnline) {
        online = isOnline;
        if (!online) return;
        for (const Point& p : points) PointMetrics(birth, p, std::nullopt, true);
    });
    if (!online) return std::nullopt;
    birth.set_timestamp(NowMs());
    birth.set_seq(nextSeq());
    return Forwarder::Message{topic("DBIRTH", unit(index).device), birth.SerializeAsString(), false,
                              0};
}

std::optional<Forwarder::Message> SparkplugFace::encode(const Store::Record& row, bool historical) {
    if (row.payload.empty()) return std::nullopt;
    const char type = row.payload[0];
    if (type == ROW_DATA) {
        Payload data;
        if (!data.ParseFromArray(row.payload.data() + 1,
                                 static_cast<int>(row.payload.size() - 1))) {
            return std::nullopt;
        }
        data.set_timestamp(NowMs());
        if (historical) {
            for (auto& m : *data.mutable_metrics()) m.set_is_historical(true);
        }
        data.set_seq(nextSeq());
        return Forwarder::Message{topic("DDATA", row.topic), data.SerializeAsString(), false};
    }
    // A unit's death or birth from before this session: the session's own
    // births already say how things are now.
    if (historical) return std::nullopt;
    if (type == ROW_BIRTH) {
        const auto index = model_.find(row.topic);
        return index ? deviceBirth(*index) : std::nullopt;
    }
    if (type == ROW_DEATH) {
        Payload death;
        death.set_timestamp(NowMs());
        death.set_seq(nextSeq());
        return Forwarder::Message{topic("DDEATH", row.topic), death.SerializeAsString(), false, 0};
    }
    return std::nullopt;
}

void SparkplugFace::message(const std::string& topicName, const std::string& payload, bool) {
    // A command or a host state is small; anything larger is not decoded.
    if (payload.size() > MESSAGE_LIMIT) {
        std::fprintf(stderr, "kelvo-gateway: Sparkplug: %zu bytes on %s ignored (over %zu)\n",
                     payload.size(), topicName.c_str(), MESSAGE_LIMIT);
        return;
    }
    if (!stateTopic_.empty() && topicName == stateTopic_) {
        // {"online": true, "timestamp": ...}; older hosts say ONLINE / OFFLINE.
        // A message older than the last one seen (a stale retained one) is
        // ignored.
        bool online = payload == "ONLINE";
        const auto state = nlohmann::json::parse(payload, nullptr, false);
        if (state.is_object() && state.contains("online") && state["online"].is_boolean()) {
            online = state["online"].get<bool>();
            if (state.contains("timestamp") && state["timestamp"].is_number_unsigned()) {
                const auto at = state["timestamp"].get<std::uint64_t>();
                if (at < hostStateAt_) return;
                hostStateAt_ = at;
            }
        }
        hostOnline_ = online;
        if (forwarder_) forwarder_->notify();
        return;
    }
    if (topicName == topic("NCMD")) {
        Payload command;
        if (!command.ParseFromString(payload)) return;
        for (const auto& m : command.metrics()) {
            if (m.name() == REBIRTH && m.value_case() == Metric::kBooleanValue &&
                m.boolean_value()) {
                rebirth_ = true;
                if (forwarder_) forwarder_->notify();
            }
        }
        return;
    }
    const std::string prefix = topic("DCMD") + "/";
    if (topicName.compare(0, prefix.size(), prefix) == 0) {
        command(topicName.substr(prefix.size()), payload);
    }
}

void SparkplugFace::command(const std::string& device, const std::string& payload) {
    const auto index = model_.find(device);
    if (!index) return;
    Payload command;
    if (!command.ParseFromString(payload)) {
        std::fprintf(stderr, "kelvo-gateway: Sparkplug DCMD %s: not a Sparkplug B payload\n",
                     device.c_str());
        return;
    }
    for (const auto& m : command.metrics()) {
        const auto text = CommandText(m);
        CommandRequest request;
        auto parsed = text ? ParseRequest(m.name() + "/set", *text)
                           : std::variant<CommandRequest, Rejection>(Rejection{"no usable value"});
        if (auto* r = std::get_if<CommandRequest>(&parsed)) request = std::move(*r);
        request.origin = this;
        request.topic = m.name();
        request.payload = text.value_or("");
        if (auto* r = std::get_if<Rejection>(&parsed)) {
            commandFailed(*index, request, r->reason, nullptr);
            continue;
        }
        model_.submit(*index, request);
    }
}

}  // namespace gateway
