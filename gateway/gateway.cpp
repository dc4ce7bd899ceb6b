#include "gateway.h"

#include <sys/stat.h>
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

constexpr int kDiscoveryWaitMs = 1500;  // as long as the library waits
constexpr auto kDrain = std::chrono::milliseconds(3000);
constexpr auto kFirstPollWait = std::chrono::milliseconds(2000);  // past the reply timeout

// The library reads its device list from $WINDIR/Kelvo.ini. The gateway
// gives it one of its own, in a directory of its own, in mode 1: the units
// listed and nothing else, no broadcast.
class DeviceList {
  public:
    DeviceList() {
        char pattern[] = "/tmp/kelvo-gateway.XXXXXX";
        if (!mkdtemp(pattern)) throw ConfigError("cannot make a directory for the device list");
        dir_ = pattern;
        setenv("WINDIR", dir_.c_str(), 1);
    }
    ~DeviceList() {
        std::remove(path().c_str());
        rmdir(dir_.c_str());
    }
    struct Line {
        std::string address;
        std::string mac;  // "02-4B-56-00-00-09"
        unsigned model, unitId, aux;
    };
    // Writes the list and lets the library read it; returns its unit count.
    int load(const std::vector<Line>& lines) {
        FILE* f = std::fopen(path().c_str(), "wb");
        if (!f) throw ConfigError("cannot write " + path());
        std::fprintf(f, "1\r\n");
        for (std::size_t i = 0; i < lines.size(); ++i) {
            const Line& l = lines[i];
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
    const std::string clientId = settings_.broker.clientId.empty() ? "kelvo-gateway-" + settings_.id
                                                                   : settings_.broker.clientId;
    broker_ = std::make_unique<Broker>(
        settings_.broker, clientId, gatewayTopic_,
        Broker::Handlers{[this] { connected(); }, [this](const std::string& t, const std::string& p,
                                                         bool r) { message(t, p, r); }});
}

Gateway::~Gateway() = default;

// Who answers, then who each one is: a first device list with the addresses
// only lets the library connect and ask each unit; a second one, with what
// they said, is the list the workers use.
std::vector<UnitDescription> Gateway::findUnits() {
    const auto found = Discover(settings_.useBroadcast(), settings_.addresses, kDiscoveryWaitMs);
    DeviceList list;
    std::vector<DeviceList::Line> lines;
    for (const auto& f : found) lines.push_back({f.address, f.mac ? MacText(*f.mac) : "", 0, 0, 0});
    list.load(lines);

    // All at once: a unit that is gone may hold its connect for minutes.
    struct Answer {
        bool known = false, versioned = false;
        library::Identity id;
        KelvoVersionInfo version{};
    };
    std::vector<Answer> answers(lines.size());
    {
        std::vector<std::jthread> askers;
        for (std::size_t i = 0; i < lines.size(); ++i) {
            askers.emplace_back([&, i] {
                Answer& a = answers[i];
                KELVO_HANDLE h = library::OpenByIP(lines[i].address);
                a.known = h && library::Identify(h, a.id);
                a.versioned = a.known && library::Version(h, a.version);
                if (h) library::Close(h);
            });
        }
    }

    std::vector<DeviceList::Line> identified;
    std::vector<UnitDescription> units;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const DeviceList::Line& line = lines[i];
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
        for (const auto& other : units) clash = clash || other.name == u.name;
        if (clash) {
            std::fprintf(stderr, "kelvo-gateway: %s: a second %s; not published\n",
                         line.address.c_str(), u.name.c_str());
            continue;
        }
        identified.push_back({line.address, line.mac, id.model, id.unitId, id.aux});
        units.push_back(std::move(u));
    }
    list.load(identified);
    return units;
}

int Gateway::run(const sigset_t& stopSignals, int statsSeconds) {
    if (statsSeconds > 0) stats_.enable();
    for (auto& unit : findUnits()) {
        KELVO_HANDLE h = library::OpenByIP(unit.address);
        auto worker =
            std::make_unique<UnitWorker>(std::move(unit), h, settings_.prefix, *this, stats_);
        byName_[worker->name()] = worker.get();
        workers_.push_back(std::move(worker));
    }
    if (workers_.empty()) std::fprintf(stderr, "kelvo-gateway: no units found\n");
    for (auto& w : workers_) w->start();
    // Commands that waited at the broker come in right after the connect:
    // let the units be online by then.
    const auto firstPolls = std::chrono::steady_clock::now() + kFirstPollWait;
    for (auto& w : workers_) w->waitFirstPoll(firstPolls);
    broker_->start();
    std::printf("kelvo-gateway: ready (%zu units)\n", workers_.size());
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
        for (auto& w : workers_) w->checkStalled();
        const auto now = std::chrono::steady_clock::now();
        if (statsSeconds > 0 && now - last >= statsEvery) {
            printStats(std::chrono::duration<double>(now - last).count());
            last = now;
        }
    }
    // A clean stop: every unit offline, then the gateway itself.
    for (auto& w : workers_) w->stop(true);
    publish(gatewayTopic_, "offline", true);
    broker_->stop(kDrain);
    return 0;
}

void Gateway::publish(const std::string& topic, const std::string& payload, bool retain) {
    broker_->publish(topic, payload, retain);
}

void Gateway::connected() {
    publish(gatewayTopic_, "online", true);
    std::vector<std::string> patterns;
    for (auto& w : workers_) {
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
    const auto it = byName_.find(topic.substr(prefix.size() + 1, unitEnd - prefix.size() - 1));
    if (it == byName_.end()) return;
    it->second->command(topic.substr(unitEnd + 1), payload, retained);
}

void Gateway::printStats(double seconds) {
    const auto s = stats_.take();
    static std::uint64_t lastPublished = 0;
    const std::uint64_t published = broker_->published();
    nlohmann::ordered_json line;
    line["units"] = workers_.size();
    line["seconds"] = seconds;
    line["cycles"] = s.cycles;
    line["cycle_ms_p50"] = s.p50;
    line["cycle_ms_p99"] = s.p99;
    line["cycle_ms_max"] = s.max;
    line["messages"] = published - lastPublished;
    line["messages_per_s"] = seconds > 0 ? (published - lastPublished) / seconds : 0.0;
    lastPublished = published;
    std::fprintf(stderr, "kelvo-gateway: stats %s\n", line.dump().c_str());
}

}  // namespace gateway
