#include "gateway.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <thread>

#include "discovery.h"
#include "library.h"

namespace gateway {
namespace {

constexpr int DISCOVERY_WAIT_MS = 1500;  // as long as the library waits
constexpr auto DRAIN = std::chrono::milliseconds(3000);
constexpr auto FIRST_POLL_WAIT = std::chrono::milliseconds(2000);  // past the reply timeout

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

// The library reads its device list Kelvo.ini from $KELVO_DEVICE_LIST_DIR.
// The gateway gives it one of its own, in a directory of its own, in mode 1:
// the units listed and nothing else, no broadcast.
class DeviceList {
  public:
    DeviceList() {
        char pattern[] = "/tmp/kelvo-gateway.XXXXXX";
        if (!mkdtemp(pattern)) throw ConfigError("cannot make a directory for the device list");
        dir_ = pattern;
        setenv("KELVO_DEVICE_LIST_DIR", dir_.c_str(), 1);
    }
    ~DeviceList() {
        std::remove(path().c_str());
        rmdir(dir_.c_str());
    }
    // Writes the list and lets the library read it; returns its unit count.
    int load(const std::vector<ListedUnit>& lines) {
        FILE* f = std::fopen(path().c_str(), "wb");
        if (!f) throw ConfigError("cannot write " + path());
        std::fprintf(f, "1\r\n");
        for (std::size_t i = 0; i < lines.size(); ++i) {
            const ListedUnit& l = lines[i];
            std::fprintf(f, "unit%zu,%u,%u,%s,%s,%u\r\n", i, l.model, l.unitId, l.address.c_str(),
                         l.mac.empty() ? "00-00-00-00-00-00" : l.mac.c_str(), l.aux);
        }
        std::fclose(f);
        return library::Initial();
    }

  private:
    std::string path() const { return dir_ + "/Kelvo.ini"; }
    std::string dir_;
};

Gateway::Gateway(Settings settings) : settings_(std::move(settings)) {
    if (settings_.id.empty()) settings_.id = HostName();
    Validate(settings_);
    gatewayTopic_ = settings_.prefix + "/gateway/" + settings_.id + "/state";
    const std::string clientId = settings_.broker.clientId.empty() ? "kelvo-gateway-" + settings_.id
                                                                   : settings_.broker.clientId;
    broker_ = std::make_unique<Broker>(
        settings_.broker, clientId, gatewayTopic_,
        Broker::Handlers{[this] { connected(); }, [this](const std::string& t, const std::string& p,
                                                         bool r) { message(t, p, r); }});
}

Gateway::~Gateway() = default;  // DeviceList is complete here

// Who each unit is: a device list with the new addresses added lets the
// library connect and ask them; a second one, with what they said, is the
// list the workers use. The units already served keep their lines (their
// workers open their units again under the new list).
std::vector<UnitDescription> Gateway::identify(const std::vector<FoundUnit>& fresh) {
    std::vector<ListedUnit> asking = served_;
    for (const auto& f : fresh) asking.push_back({f.address, f.mac ? MacText(*f.mac) : ""});
    list_->load(asking);

    // All at once: a unit that is gone may hold its connect for minutes.
    struct Answer {
        bool known = false, versioned = false;
        library::Identity id;
        KelvoVersionInfo version{};
    };
    std::vector<Answer> answers(fresh.size());
    {
        std::vector<std::jthread> askers;
        for (std::size_t i = 0; i < fresh.size(); ++i) {
            askers.emplace_back([&, i] {
                Answer& a = answers[i];
                KELVO_HANDLE h = library::OpenByIP(fresh[i].address);
                a.known = h && library::Identify(h, a.id);
                a.versioned = a.known && library::Version(h, a.version);
                if (h) library::Close(h);
            });
        }
    }

    std::vector<UnitDescription> units;
    const std::size_t before = served_.size();
    for (std::size_t i = 0; i < fresh.size(); ++i) {
        const ListedUnit& line = asking[before + i];
        const auto& [known, versioned, id, version] = answers[i];
        const KelvoModel* model = known ? kelvo_model(id.model) : nullptr;
        if (!model) {
            std::fprintf(stderr, "kelvo-gateway: %s: %s\n", line.address.c_str(),
                         known ? "unknown model; not published" : "no answer; not published");
            continue;
        }
        UnitDescription u;
        u.model = model;
        u.unitId = id.unitId;
        u.aux = id.aux;
        u.address = line.address;
        u.mac = line.mac;
        u.firmware = versioned ? Firmware(version) : "";
        u.name = UnitName(*model, id.unitId);
        u.gateway = settings_.id;
        u.period = std::chrono::milliseconds(settings_.periodFor(u.name));
        bool clash = false;
        {
            std::lock_guard<std::mutex> hold(unitsMutex_);
            clash = byName_.count(u.name) != 0;
        }
        for (const auto& other : units) clash = clash || other.name == u.name;
        if (clash) {
            std::fprintf(stderr, "kelvo-gateway: %s: a second %s; not published\n",
                         line.address.c_str(), u.name.c_str());
            continue;
        }
        served_.push_back({line.address, line.mac, id.model, id.unitId, id.aux});
        units.push_back(std::move(u));
    }
    list_->load(served_);
    return units;
}

std::vector<UnitWorker*> Gateway::workers() {
    std::lock_guard<std::mutex> hold(unitsMutex_);
    std::vector<UnitWorker*> all;
    for (auto& w : workers_) all.push_back(w.get());
    return all;
}

void Gateway::addUnits(std::vector<UnitDescription> units) {
    std::vector<std::string> patterns;
    for (auto& unit : units) {
        KELVO_HANDLE h = library::OpenByIP(unit.address);
        auto worker =
            std::make_unique<UnitWorker>(std::move(unit), h, settings_.prefix, *this, stats_);
        UnitWorker* w = worker.get();
        {
            std::lock_guard<std::mutex> hold(unitsMutex_);
            byName_[w->name()] = w;
            workers_.push_back(std::move(worker));
        }
        w->start();
        // Published and subscribed here, or by connected() if the broker
        // comes back meanwhile; twice does no harm.
        if (broker_->connected()) w->republish();
        patterns.push_back(w->base() + "/+/+/set");
        patterns.push_back(w->base() + "/+/set");
    }
    if (broker_->connected()) broker_->subscribe(patterns);
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

int Gateway::run(const sigset_t& stopSignals, int statsSeconds) {
    if (statsSeconds > 0) stats_.enable();
    list_ = std::make_unique<DeviceList>();
    addUnits(identify(Discover(settings_.useBroadcast(), settings_.addresses, DISCOVERY_WAIT_MS)));
    const auto all = workers();
    if (all.empty()) std::fprintf(stderr, "kelvo-gateway: no units found\n");
    // Commands that waited at the broker come in right after the connect:
    // let the units be online by then.
    const auto firstPolls = std::chrono::steady_clock::now() + FIRST_POLL_WAIT;
    for (auto* w : all) w->waitFirstPoll(firstPolls);
    broker_->start();
    if (settings_.rescanSeconds > 0) {
        rescanner_ = std::jthread([this](std::stop_token stop) { rescan(stop); });
    }
    std::printf("kelvo-gateway: ready (%zu units)\n", all.size());
    std::fflush(stdout);

    // Wakes every 100 ms to look for stalled polls, and prints the
    // statistics when they are due.
    const auto statsEvery = std::chrono::seconds(statsSeconds);
    auto last = std::chrono::steady_clock::now();
    for (;;) {
        timespec wait{0, 100 * 1000 * 1000};
        const int signal = sigtimedwait(&stopSignals, nullptr, &wait);
        if (signal > 0) {
            std::fprintf(stderr, "kelvo-gateway: signal %d, stopping\n", signal);
            break;
        }
        for (auto* w : workers()) w->checkStalled();
        const auto now = std::chrono::steady_clock::now();
        if (statsSeconds > 0 && now - last >= statsEvery) {
            printStats(std::chrono::duration<double>(now - last).count());
            last = now;
        }
    }
    // A clean stop: no more units, every unit offline, then the gateway.
    if (rescanner_.joinable()) {
        rescanner_.request_stop();
        rescanner_.join();
    }
    for (auto* w : workers()) w->stop(true);
    publish(gatewayTopic_, "offline", true);
    broker_->stop(DRAIN);
    return 0;
}

void Gateway::publish(const std::string& topic, const std::string& payload, bool retain) {
    broker_->publish(topic, payload, retain);
}

void Gateway::connected() {
    publish(gatewayTopic_, "online", true);
    std::vector<std::string> patterns;
    for (auto* w : workers()) {
        w->republish();
        patterns.push_back(w->base() + "/+/+/set");
        patterns.push_back(w->base() + "/+/set");
    }
    broker_->subscribe(patterns);
}

void Gateway::message(const std::string& topic, const std::string& payload, bool retained) {
    // PREFIX/UNIT/rest; units of other gateways are theirs to answer.
    const std::string& prefix = settings_.prefix;
    if (topic.size() <= prefix.size() + 1 || topic.compare(0, prefix.size(), prefix) != 0 ||
        topic[prefix.size()] != '/') {
        return;
    }
    const auto unitEnd = topic.find('/', prefix.size() + 1);
    if (unitEnd == std::string::npos) return;
    UnitWorker* worker = nullptr;
    {
        std::lock_guard<std::mutex> hold(unitsMutex_);
        const auto it = byName_.find(topic.substr(prefix.size() + 1, unitEnd - prefix.size() - 1));
        if (it == byName_.end()) return;
        worker = it->second;
    }
    worker->command(topic.substr(unitEnd + 1), payload, retained);
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
    lastPublished = published;
    std::fprintf(stderr, "kelvo-gateway: stats %s\n", line.dump().c_str());
}

}  // namespace gateway
