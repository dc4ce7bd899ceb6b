#include "gateway.h"

#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <future>
#include <nlohmann/json.hpp>
#include <system_error>
#include <thread>

#include "discovery.h"
#include "library.h"

namespace gateway {
namespace {

constexpr int DISCOVERY_WAIT_MS = kelvo::tools::REPLY_TIMEOUT_MS;  // as the library waits
// Without a broadcast the query only fetches the MACs of the listed units,
// which answer at once or not at all: start-up does not wait long for them.
constexpr int LISTED_WAIT_MS = 300;
constexpr auto FIRST_POLL_WAIT = std::chrono::milliseconds(2000);  // past the reply timeout
// From the stop signal to the end of the process, and the share of it the
// broker gets to take the last messages.
constexpr auto STOP_LIMIT = std::chrono::milliseconds(1800);
constexpr auto DRAIN = std::chrono::milliseconds(600);
// Identification: connections open at once, and the time for one round.
constexpr std::size_t IDENTIFY_AT_ONCE = 128;
constexpr int IDENTIFY_LIMIT_MS = 15000;
// A point not read again for this plus two periods is stale.
constexpr auto STALE_AFTER = std::chrono::milliseconds(kelvo::tools::REPLY_TIMEOUT_MS);
// A burst (every config and value after a connect, Home Assistant asking
// for its configs) queues this many messages or more at once.
constexpr std::size_t BURST_QUEUE = 1000;
// The budget of a store without a file ([store] path empty), at most.
constexpr int MEMORY_STORE_MB = 16;

std::string Firmware(const KelvoVersionInfo& v) {
    char text[40];
    std::snprintf(text, sizeof text, "%u.%u (%.16s)", v.deviceMajor, v.deviceMinor, v.deviceDate);
    return text;
}

std::string HostName() {
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0 || !name[0]) return "gateway";
    return name;
}

}  // namespace

Gateway::Gateway(Settings settings) : settings_(std::move(settings)) {
    if (settings_.id.empty()) settings_.id = HostName();
    Validate(settings_);
    gatewayTopic_ = settings_.prefix + "/gateway/" + settings_.id + "/state";
    // Without a file the store lives in memory, and keeps to a smaller budget.
    const int storeMb = settings_.store.path.empty()
                            ? std::min(settings_.store.maxMb, MEMORY_STORE_MB)
                            : settings_.store.maxMb;
    store_ =
        std::make_unique<Store>(settings_.store.path, static_cast<std::uint64_t>(storeMb) << 20);
    if (settings_.sparkplug.plainTopics) model_.addFace(&mqtt_);
    if (settings_.homeAssistant.enabled) {
        homeAssistant_ = std::make_unique<HomeAssistantFace>(*this, settings_, gatewayTopic_);
        model_.addFace(homeAssistant_.get());
    }
    if (!settings_.modbus.listen.empty()) {
        modbus_ = std::make_unique<ModbusFace>(model_, settings_);
        model_.addFace(modbus_.get());
    }
    if (!settings_.http.listen.empty()) {
        web_ = std::make_unique<WebFace>(
            model_, settings_,
            WebSources{[this](std::size_t unit) { return worker(unit); },
                       [this] { return broker_ && broker_->connected(); },
                       modbus_ ? std::function<std::size_t()>(
                                     [face = modbus_.get()] { return face->clients(); })
                               : nullptr,
                       [this] { return store_->counts(); }});
        model_.addFace(web_.get());
    }
    const std::string clientId = settings_.broker.clientId.empty() ? "kelvo-gateway-" + settings_.id
                                                                   : settings_.broker.clientId;
    broker_ = std::make_unique<Broker>(
        settings_.broker, clientId, gatewayTopic_,
        Broker::Handlers{
            [this] { connected(); },
            [this](const std::string& t, const std::string& p, bool r) { message(t, p, r); },
            [this](std::uint64_t token) { history_->acked(token); }});
    // The history goes out as it was stored: topic and payload.
    history_ = std::make_unique<Forwarder>(
        *store_, HISTORY_STREAM, *broker_,
        Forwarder::Hooks{[](bool) { return true; },
                         [](const Store::Record& row, bool) {
                             return std::optional<Forwarder::Message>(
                                 Forwarder::Message{row.topic, row.payload, false});
                         }});
    if (settings_.sparkplug.enabled) {
        sparkplug_ = std::make_unique<SparkplugFace>(model_, settings_, *store_);
        model_.addFace(sparkplug_.get());
        SparkplugFace* face = sparkplug_.get();
        sparkplugBroker_ = std::make_unique<Broker>(
            settings_.broker, settings_.sparkplug.plainTopics ? clientId + "-sparkplug" : clientId,
            face->will(),
            Broker::Handlers{[face] { face->connected(); },
                             [face](const std::string& t, const std::string& p, bool r) {
                                 face->message(t, p, r);
                             },
                             [face](std::uint64_t token) { face->acked(token); }});
        face->attach(*sparkplugBroker_);
    }
    store_->onCommit([this] {
        history_->notify();
        if (sparkplug_) sparkplug_->notifyStore();
    });
}

Gateway::~Gateway() {
    // Nothing may call into what goes first: the sessions' threads end,
    // then the forwarders', then the store's.
    broker_->stop(std::chrono::milliseconds(0));
    if (sparkplugBroker_) sparkplugBroker_->stop(std::chrono::milliseconds(0));
    history_->stop();
    if (sparkplug_) sparkplug_->stop();
    store_->onCommit(nullptr);
}

// Who each unit is: every new address asked at once (bounded in connections
// and time), then one device list with the units served and the new ones
// that answered, read by one Kelvo_Initial. The units already served keep
// their lines (their workers open their units again under the new list).
std::vector<UnitDescription> Gateway::identify(const std::vector<FoundUnit>& fresh) {
    std::vector<std::string> addresses;
    for (const auto& f : fresh) addresses.push_back(f.address);
    const auto answers =
        kelvo::tools::IdentifyAll(addresses, {IDENTIFY_AT_ONCE, IDENTIFY_LIMIT_MS, &stopping_});
    if (stopping_) return {};

    std::vector<UnitDescription> units;
    for (std::size_t i = 0; i < fresh.size(); ++i) {
        const std::string& address = fresh[i].address;
        const KelvoModel* model = answers[i] ? kelvo_model(answers[i]->model) : nullptr;
        if (!model) {
            std::fprintf(stderr, "kelvo-gateway: %s: %s\n", address.c_str(),
                         answers[i] ? "unknown model; not published" : "no answer; not published");
            continue;
        }
        const kelvo::tools::Identity& id = *answers[i];
        UnitDescription u;
        u.model = model;
        u.unitId = id.unitId;
        u.aux = id.aux;
        u.address = address;
        u.mac = fresh[i].mac ? MacText(*fresh[i].mac) : "";
        u.name = UnitName(*model, id.unitId);
        u.topic = settings_.topicName(u.name);
        u.gateway = settings_.id;
        u.period = std::chrono::milliseconds(settings_.periodFor(u.name));
        // Topic names are unique: a unit whose name another one has (by
        // its own or as configured) is not published.
        bool clash = model_.find(u.topic).has_value();
        for (const auto& other : units) clash = clash || other.topic == u.topic;
        if (clash) {
            std::fprintf(stderr, "kelvo-gateway: %s: a second %s; not published\n", address.c_str(),
                         u.topic.c_str());
            continue;
        }
        served_.push_back({address, u.mac, id.model, id.unitId, id.aux});
        units.push_back(std::move(u));
    }
    if (units.empty()) return units;
    std::vector<kelvo::tools::ListedUnit> lines;
    for (const auto& l : served_) {
        lines.push_back({l.address,
                         {static_cast<std::uint8_t>(l.model), static_cast<std::uint8_t>(l.aux),
                          static_cast<std::uint8_t>(l.unitId)},
                         l.mac});
    }
    if (list_->load(lines) < 0) {
        std::fprintf(stderr, "kelvo-gateway: cannot write the device list\n");
    }
    return units;
}

std::vector<UnitWorker*> Gateway::workers() {
    std::lock_guard<std::mutex> hold(unitsMutex_);
    std::vector<UnitWorker*> all;
    for (auto& w : workers_) all.push_back(w.get());
    return all;
}

UnitWorker* Gateway::worker(std::size_t unit) {
    std::lock_guard<std::mutex> hold(unitsMutex_);
    for (auto& w : workers_) {
        if (w->index() == unit) return w.get();
    }
    return nullptr;
}

void Gateway::addUnits(std::vector<UnitDescription> units) {
    // In order of model and unit ID: the Modbus face numbers them so.
    std::stable_sort(units.begin(), units.end(), [](const auto& a, const auto& b) {
        return std::make_pair(a.model->code, a.unitId) < std::make_pair(b.model->code, b.unitId);
    });
    std::vector<std::string> patterns;
    for (auto& unit : units) {
        if (stopping_) return;
        KELVO_HANDLE h = library::OpenByIP(unit.address);
        KelvoVersionInfo version{};
        if (h && library::Version(h, version)) unit.firmware = Firmware(version);
        const std::size_t index = model_.addUnit(unit);
        auto worker = std::make_unique<UnitWorker>(model_, index, h, stats_);
        UnitWorker* w = worker.get();
        try {
            w->start();
        } catch (const std::system_error& e) {
            // No thread to be had (a task limit): the unit stays offline.
            std::fprintf(stderr, "kelvo-gateway: %s: no worker thread (%s); not polled\n",
                         unit.topic.c_str(), e.what());
            model_.setOnline(index, false);
            continue;
        }
        model_.attach(index, w);
        {
            std::lock_guard<std::mutex> hold(unitsMutex_);
            workers_.push_back(std::move(worker));
        }
        if (!settings_.sparkplug.plainTopics) continue;
        // Published and subscribed here, or by connected() if the broker
        // comes back meanwhile; twice does no harm.
        if (broker_->connected()) mqtt_.republish(index);
        for (auto& p : mqtt_.patterns(index)) patterns.push_back(std::move(p));
    }
    if (broker_->connected() && !patterns.empty()) broker_->subscribe(patterns);
}

void Gateway::rescan(std::stop_token stop) {
    const auto period = std::chrono::seconds(settings_.rescanSeconds);
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(rescanMutex_);
            if (rescanWake_.wait_for(lock, stop, period, [] { return false; })) return;
            if (stop.stop_requested()) return;
        }
        std::vector<std::string> missing;
        for (const auto& a : settings_.addresses) {
            bool served = false;
            for (const auto& s : served_) served = served || s.address == a;
            if (!served) missing.push_back(a);
        }
        if (!settings_.useBroadcast() && missing.empty()) continue;
        // Only units that answer the query: asking every absent address over
        // TCP would rebuild the library's list each time.
        std::vector<FoundUnit> fresh;
        for (auto& f : Discover(settings_.useBroadcast(), missing, DISCOVERY_WAIT_MS)) {
            bool served = false;
            for (const auto& s : served_) served = served || s.address == f.address;
            if (f.mac && !served) fresh.push_back(std::move(f));
        }
        if (fresh.empty() || stop.stop_requested()) continue;
        auto units = identify(fresh);
        for (const auto& u : units) {
            std::fprintf(stderr, "kelvo-gateway: found %s at %s\n", u.name.c_str(),
                         u.address.c_str());
        }
        addUnits(std::move(units));
    }
}

void Gateway::scan(std::stop_token stop) {
    // Nothing may escape this thread: a failure here ends the search, not
    // the gateway.
    try {
        const int wait = settings_.useBroadcast() ? DISCOVERY_WAIT_MS : LISTED_WAIT_MS;
        addUnits(identify(Discover(settings_.useBroadcast(), settings_.addresses, wait)));
        const auto all = workers();
        if (all.empty()) std::fprintf(stderr, "kelvo-gateway: no units found\n");
        // Commands that waited at the broker come in right after the connect:
        // let the units be online by then.
        const auto firstPolls = std::chrono::steady_clock::now() + FIRST_POLL_WAIT;
        for (auto* w : all) w->waitFirstPoll(firstPolls);
        {
            std::lock_guard<std::mutex> hold(brokerMutex_);
            if (stop.stop_requested()) return;
            if (settings_.sparkplug.plainTopics) {
                history_->start();
                broker_->start();
            }
            if (sparkplug_) {
                sparkplug_->start();
                sparkplugBroker_->start();
            }
            brokerStarted_ = true;
        }
        std::printf("kelvo-gateway: ready (%zu units)\n", all.size());
        std::fflush(stdout);
        if (settings_.rescanSeconds > 0) rescan(stop);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "kelvo-gateway: looking for units failed: %s\n", e.what());
    }
}

void Gateway::shutdown() {
    stopping_ = true;
    {
        // The broker is not started after this point.
        std::lock_guard<std::mutex> hold(brokerMutex_);
        scanner_.request_stop();
    }
    if (scanner_.joinable()) scanner_.join();
    // Every unit winds down at once, then each is marked offline.
    const auto all = workers();
    for (auto* w : all) w->requestStop();
    for (auto* w : all) w->stop(true);
    if (modbus_) modbus_->stop();
    // After the workers: their stop answers the writes and sampling calls
    // the web face still waits for.
    if (web_) web_->stop();
    publish(gatewayTopic_, "offline", true);
    bool started;
    {
        std::lock_guard<std::mutex> hold(brokerMutex_);
        started = brokerStarted_;
    }
    if (!started) return;
    history_->stop();
    if (sparkplug_) {
        sparkplug_->stop();  // the NDEATH
        sparkplugBroker_->stop(DRAIN);
    }
    broker_->stop(DRAIN);
}

int Gateway::run(const sigset_t& stopSignals, int statsSeconds) {
    if (statsSeconds > 0) stats_.enable();
    try {
        list_ = std::make_unique<kelvo::tools::DeviceList>();
    } catch (const std::runtime_error& e) {
        throw ConfigError(e.what());
    }
    if (modbus_) modbus_->start();
    if (web_) web_->start();
    scanner_ = std::jthread([this](std::stop_token stop) { scan(stop); });

    // Wakes every 100 ms to look for stalled polls, and prints the
    // statistics when they are due.
    const auto statsEvery = std::chrono::seconds(statsSeconds);
    auto last = std::chrono::steady_clock::now();
    std::size_t backlog = 0;  // the longest queue since the last trim
    for (;;) {
        timespec wait{0, 100 * 1000 * 1000};
        const int signal = sigtimedwait(&stopSignals, nullptr, &wait);
        if (signal > 0) {
            std::fprintf(stderr, "kelvo-gateway: signal %d, stopping\n", signal);
            break;
        }
        for (auto* w : workers()) w->checkStalled();
        model_.sweep(STALE_AFTER);
        // The queue of a burst is freed in many small pieces that the
        // allocator keeps: once it has drained, hand them back (with a
        // thousand units, tens of MB).
        const std::size_t queued = broker_->counts().queued;
        backlog = std::max(backlog, queued);
        if (queued == 0 && backlog >= BURST_QUEUE) {
            malloc_trim(0);
            backlog = 0;
        }
        const auto now = std::chrono::steady_clock::now();
        if (statsSeconds > 0 && now - last >= statsEvery) {
            printStats(std::chrono::duration<double>(now - last).count());
            last = now;
        }
    }
    // A clean stop, within STOP_LIMIT: a thread held in a library call (a
    // reply wait, a connect to a unit that has gone) may take longer than
    // that. Then the process ends without it; the broker publishes the will.
    std::future<void> stopped;
    try {
        stopped = std::async(std::launch::async, [this] { shutdown(); });
    } catch (const std::system_error&) {
        shutdown();  // no thread to be had: stop on this one
        return 0;
    }
    if (stopped.wait_for(STOP_LIMIT) != std::future_status::ready) {
        std::fprintf(stderr, "kelvo-gateway: a unit call is still in progress; ending now\n");
        std::fflush(stdout);
        std::fflush(stderr);
        std::_Exit(0);
    }
    stopped.get();
    return 0;
}

void Gateway::publish(const std::string& topic, const std::string& payload, bool retain) {
    broker_->publish(topic, payload, retain);
}

void Gateway::changed(const std::string& unit, const std::string& subtopic,
                      const std::string& payload, std::chrono::system_clock::time_point at) {
    // Sent live when the broker is there and no older history waits;
    // otherwise kept, on PREFIX/gateway/ID/history/UNIT/SUBTOPIC (not
    // retained, so the current values stay as they are).
    if (broker_->connected() && store_->held(HISTORY_STREAM) == 0) return;
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(at.time_since_epoch());
    nlohmann::ordered_json entry;
    entry["value"] = payload;
    entry["ts"] = ms.count();
    store_->put(HISTORY_STREAM,
                settings_.prefix + "/gateway/" + settings_.id + "/history/" + unit + "/" + subtopic,
                entry.dump(), ms.count());
}

void Gateway::connected() {
    publish(gatewayTopic_, "online", true);
    std::vector<std::string> patterns;
    for (std::size_t i = 0, n = model_.size(); i < n; ++i) {
        mqtt_.republish(i);
        for (auto& p : mqtt_.patterns(i)) patterns.push_back(std::move(p));
    }
    if (homeAssistant_) {
        homeAssistant_->republish();
        patterns.push_back(homeAssistant_->statusTopic());
    }
    broker_->subscribe(patterns);
    history_->notify();
}

void Gateway::message(const std::string& topic, const std::string& payload, bool retained) {
    // Home Assistant started (again): it wants every config anew.
    if (homeAssistant_ && topic == homeAssistant_->statusTopic()) {
        if (payload == "online") homeAssistant_->republish();
        return;
    }
    mqtt_.message(topic, payload, retained);
}

void Gateway::printStats(double seconds) {
    const auto s = stats_.take();
    static std::uint64_t lastPublished = 0;
    const auto counts = broker_->counts();
    const std::uint64_t published = counts.published;
    nlohmann::ordered_json line;
    line["units"] = workers().size();
    line["seconds"] = seconds;
    line["cycles"] = s.cycles;
    line["cycle_ms_p50"] = s.p50;
    line["cycle_ms_p99"] = s.p99;
    line["cycle_ms_max"] = s.max;
    line["messages"] = published - lastPublished;
    line["messages_per_s"] = seconds > 0 ? (published - lastPublished) / seconds : 0.0;
    line["inflight"] = counts.inflight;
    line["queued"] = counts.queued;
    line["dropped"] = counts.dropped;
    const auto stored = store_->counts();
    line["store_put"] = stored.stored;
    line["store_rows"] = stored.rows;
    line["store_dropped"] = stored.dropped;
    lastPublished = published;
    std::fprintf(stderr, "kelvo-gateway: stats %s\n", line.dump().c_str());
}

}  // namespace gateway
