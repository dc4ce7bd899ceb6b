#include "web_face.h"

#include <httplib.h>
#include <openssl/crypto.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <regex>
#include <thread>

#include "unit_worker.h"
#include "web_sampling.h"

namespace gateway {
namespace {

using Json = nlohmann::ordered_json;

// Live event streams at once; each holds one of the server's threads.
constexpr std::size_t EVENT_CLIENTS_LIMIT = 32;
constexpr std::size_t OTHER_THREADS = 8;  // for everything but event streams
// A stream with nothing to send says so this often, so that a client
// behind a proxy keeps it open and a gone client is noticed.
constexpr auto KEEPALIVE = std::chrono::seconds(15);
// A write waits at most this long for the unit's answer (its reply timeout,
// a read-back after a failed exchange and the commands queued before it).
constexpr auto COMMAND_WAIT = std::chrono::seconds(8);
// Requests: bodies at most this large; a header line and the request line
// at most 8 KiB each (the server's own limits), and this long to arrive.
constexpr std::size_t BODY_LIMIT = 16 * 1024;
constexpr time_t READ_TIMEOUT_S = 5;
constexpr time_t WRITE_TIMEOUT_S = 5;

constexpr struct {
    const char* text;
    Kind kind;
} KIND_TEXTS[] = {{"di", Kind::DIGITAL_IN},
                  {"do", Kind::DIGITAL_OUT},
                  {"ai", Kind::ANALOG_IN},
                  {"ao", Kind::ANALOG_OUT},
                  {"cnt", Kind::COUNTER}};

std::optional<Kind> KindFromText(const std::string& text) {
    for (const auto& k : KIND_TEXTS) {
        if (text == k.text) return k.kind;
    }
    return std::nullopt;
}

bool IsDigital(Kind kind) {
    return kind == Kind::DIGITAL_IN || kind == Kind::DIGITAL_OUT;
}

const char* QualityText(Quality q) {
    return q == Quality::GOOD ? "good" : q == Quality::STALE ? "stale" : "offline";
}

std::int64_t EpochMs(std::chrono::system_clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count();
}

const char* ContentType(const std::string& name) {
    const auto dot = name.rfind('.');
    const std::string ext = dot == std::string::npos ? "" : name.substr(dot + 1);
    if (ext == "html") return "text/html; charset=utf-8";
    if (ext == "js") return "text/javascript; charset=utf-8";
    if (ext == "css") return "text/css; charset=utf-8";
    if (ext == "json") return "application/json";
    return "application/octet-stream";
}

void SendJson(httplib::Response& res, int status, const Json& body) {
    res.status = status;
    res.set_content(body.dump(), "application/json");
}

void SendError(httplib::Response& res, int status, const std::string& reason) {
    SendJson(res, status, Json{{"error", reason}});
}

// A label value in the metrics text: backslash, quote and newline escaped.
std::string Label(const std::string& text) {
    std::string out;
    for (const char ch : text) {
        if (ch == '\\' || ch == '"') out += '\\';
        if (ch == '\n') {
            out += "\\n";
            continue;
        }
        out += ch;
    }
    return out;
}

// What an event stream has yet to send: the latest of each point and state.
struct Entry {
    bool state = false;  // a unit's state (online) rather than a point
    bool online = false;
    Kind kind{};
    unsigned position = 0;
    std::int64_t raw = 0;
    double value = 0;
    Quality quality = Quality::OFFLINE;
    std::int64_t atMs = 0;
};

std::uint64_t EntryKey(std::size_t unit, const Entry& e) {
    const std::uint64_t kind = e.state ? 0xFF : static_cast<std::uint64_t>(e.kind);
    return (static_cast<std::uint64_t>(unit) << 24) | (kind << 16) | e.position;
}

struct EventClient {
    std::optional<std::size_t> unit;  // only this unit's points; states of all
    std::mutex mutex;                 // guards the two below
    std::condition_variable wake;
    // At most one entry per point and unit: memory is bounded by the number
    // of points, however slowly the client reads.
    std::map<std::uint64_t, std::pair<std::size_t, Entry>> pending;
    bool closed = false;

    void put(std::size_t u, const Entry& e) {
        if (!e.state && unit && *unit != u) return;
        bool first;
        {
            std::lock_guard<std::mutex> hold(mutex);
            first = pending.empty();
            pending[EntryKey(u, e)] = {u, e};
        }
        if (first) wake.notify_one();
    }
};

// A write waiting for its unit's answer.
struct Waiter {
    std::mutex mutex;
    std::condition_variable done;
    bool answered = false;
    bool confirmed = false;
    std::string reason;
    std::optional<std::string> outcome;
};

}  // namespace

struct WebFace::Impl {
    PointModel& model;
    const Settings& settings;
    WebSources sources;
    std::unique_ptr<httplib::Server> server;
    std::thread thread;
    std::atomic<bool> stopped{false};

    // What the face keeps of each unit: its name and point settings.
    struct UnitInfo {
        std::string name;
        std::map<std::pair<Kind, unsigned>, PointSettings> settings;
    };
    std::mutex unitsMutex;  // guards units
    std::vector<UnitInfo> units;

    std::mutex clientsMutex;  // guards clients
    std::vector<std::shared_ptr<EventClient>> clients;

    std::mutex waitersMutex;  // guards waiters and nextTag
    std::map<std::uint64_t, std::shared_ptr<Waiter>> waiters;
    std::uint64_t nextTag = 1;

    std::unique_ptr<Sampling> sampling;
    Face* face = nullptr;

    Impl(PointModel& m, const Settings& s, WebSources src)
        : model(m), settings(s), sources(std::move(src)) {}

    void routes();
    bool authorized(const httplib::Request& req, httplib::Response& res);
    Json unitJson(std::size_t index, bool points);
    void events(const httplib::Request& req, httplib::Response& res);
    void write(const httplib::Request& req, httplib::Response& res);
    std::string metrics();
    void answer(const CommandRequest& request, bool confirmed, const std::string& reason,
                const char* outcome);
    std::string unitName(std::size_t unit) {
        std::lock_guard<std::mutex> hold(unitsMutex);
        return unit < units.size() ? units[unit].name : std::string();
    }
    std::optional<std::size_t> findUnit(const std::string& name, httplib::Response& res) {
        auto index = model.find(name);
        if (!index) SendError(res, 404, "no unit named '" + name + "'");
        return index;
    }
};

WebFace::WebFace(PointModel& model, const Settings& settings, WebSources sources)
    : impl_(std::make_unique<Impl>(model, settings, std::move(sources))) {
    const HttpSettings& http = settings.http;
    impl_->face = this;
    if (!http.certFile.empty()) {
        // Read here, so that a missing or unreadable file is a clear error.
        ReadFile(http.certFile, CONFIG_LIMIT);
        ReadFile(http.keyFile, CONFIG_LIMIT);
        auto tls =
            std::make_unique<httplib::SSLServer>(http.certFile.c_str(), http.keyFile.c_str());
        if (!tls->is_valid()) {
            throw ConfigError("http: cannot use certificate " + http.certFile + " with key " +
                              http.keyFile);
        }
        impl_->server = std::move(tls);
    } else {
        impl_->server = std::make_unique<httplib::Server>();
    }
    httplib::Server& server = *impl_->server;
    server.new_task_queue = [] {
        return new httplib::ThreadPool(EVENT_CLIENTS_LIMIT + OTHER_THREADS);
    };
    // Not the server's default, which shares the port with any other
    // listener on it: a second gateway on the same port must fail to start.
    server.set_socket_options([](socket_t sock) {
        int yes = 1;
        setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
    server.set_payload_max_length(BODY_LIMIT);
    server.set_read_timeout(READ_TIMEOUT_S, 0);
    server.set_write_timeout(WRITE_TIMEOUT_S, 0);
    impl_->sampling = std::make_unique<Sampling>(model, impl_->sources.worker);
    impl_->routes();
    if (!server.bind_to_port(http.host(), http.port())) {
        throw ConfigError("http: cannot listen on " + http.listen);
    }
}

WebFace::~WebFace() {
    stop();
}

void WebFace::start() {
    impl_->thread = std::thread([this] { impl_->server->listen_after_bind(); });
}

void WebFace::stop() {
    if (impl_->stopped.exchange(true)) return;
    {
        std::lock_guard<std::mutex> hold(impl_->clientsMutex);
        for (auto& c : impl_->clients) {
            std::lock_guard<std::mutex> hold2(c->mutex);
            c->closed = true;
            c->wake.notify_all();
        }
    }
    impl_->server->stop();
    if (impl_->thread.joinable()) impl_->thread.join();
}

void WebFace::unitAdded(std::size_t unit, const UnitDescription& description,
                        const std::vector<Point>& points) {
    Impl::UnitInfo info;
    info.name = description.topic;
    for (const Point& p : points) info.settings[{p.kind, p.position}] = p.settings;
    std::lock_guard<std::mutex> hold(impl_->unitsMutex);
    if (impl_->units.size() <= unit) impl_->units.resize(unit + 1);
    impl_->units[unit] = std::move(info);
}

void WebFace::stateChanged(std::size_t unit, bool online) {
    Entry e;
    e.state = true;
    e.online = online;
    std::lock_guard<std::mutex> hold(impl_->clientsMutex);
    for (auto& c : impl_->clients) c->put(unit, e);
}

void WebFace::pointReported(std::size_t unit, const Point& p, bool always) {
    (void)always;
    std::lock_guard<std::mutex> hold(impl_->clientsMutex);
    if (impl_->clients.empty()) return;
    Entry e;
    e.kind = p.kind;
    e.position = p.position;
    e.raw = p.raw;
    e.value = p.value;
    e.quality = p.quality;
    e.atMs = EpochMs(p.readAt);
    for (auto& c : impl_->clients) c->put(unit, e);
}

void WebFace::commandFailed(std::size_t unit, const CommandRequest& request,
                            const std::string& reason, const char* outcome) {
    (void)unit;
    impl_->answer(request, false, reason, outcome);
}

void WebFace::commandConfirmed(std::size_t unit, const CommandRequest& request) {
    (void)unit;
    impl_->answer(request, true, "", nullptr);
}

void WebFace::Impl::answer(const CommandRequest& request, bool ok, const std::string& reason,
                           const char* outcome) {
    std::shared_ptr<Waiter> w;
    {
        std::lock_guard<std::mutex> hold(waitersMutex);
        const auto it = waiters.find(request.tag);
        if (it == waiters.end()) return;  // it gave up waiting
        w = it->second;
    }
    {
        std::lock_guard<std::mutex> hold(w->mutex);
        w->answered = true;
        w->confirmed = ok;
        w->reason = reason;
        if (outcome) w->outcome = outcome;
    }
    w->done.notify_all();
}

// Every write (PUT, POST) needs the token when one is set; without one, a
// gateway listening beyond loopback takes no writes at all.
bool WebFace::Impl::authorized(const httplib::Request& req, httplib::Response& res) {
    const std::string& token = settings.http.token;
    if (token.empty()) {
        if (settings.http.loopback()) return true;
        SendError(res, 403,
                  "writes are refused: the gateway listens beyond loopback and has no [http] "
                  "token");
        return false;
    }
    const std::string given = req.get_header_value("Authorization");
    const std::string prefix = "Bearer ";
    if (given.compare(0, prefix.size(), prefix) != 0) {
        res.set_header("WWW-Authenticate", "Bearer");
        SendError(res, 401, "this needs Authorization: Bearer TOKEN");
        return false;
    }
    const std::string presented = given.substr(prefix.size());
    if (presented.size() != token.size() ||
        CRYPTO_memcmp(presented.data(), token.data(), token.size()) != 0) {
        SendError(res, 403, "wrong token");
        return false;
    }
    return true;
}

Json WebFace::Impl::unitJson(std::size_t index, bool withPoints) {
    const UnitDescription& d = model.description(index);
    const KelvoModel& m = *d.model;
    Json u;
    u["name"] = d.topic;
    u["unit"] = d.name;
    u["model"] = m.name;
    u["kind"] = kelvo_kind_name(m.kind);
    u["unitId"] = d.unitId;
    u["address"] = d.address;
    u["mac"] = d.mac.empty() ? Json() : Json(d.mac);
    u["firmware"] = d.firmware.empty() ? Json() : Json(d.firmware);
    u["bits"] = m.bits;
    u["periodMs"] = d.period.count();
    u["sampling"] = true;  // every unit has sampling memory
    bool online = false;
    Json points = Json::array();
    model.visit(index, [&](const std::vector<Point>& all, bool on) {
        online = on;
        if (!withPoints) return;
        for (const Point& p : all) {
            Json j;
            j["point"] = p.topic();
            j["kind"] = KindTopic(p.kind);
            j["position"] = p.position;
            j["output"] = p.kind == Kind::DIGITAL_OUT || p.kind == Kind::ANALOG_OUT ||
                          p.kind == Kind::COUNTER;
            j["raw"] = p.raw;
            j["value"] = p.value;
            j["text"] = p.valueText();
            j["quality"] = QualityText(p.quality);
            j["readAt"] = p.read ? Json(EpochMs(p.readAt)) : Json();
            if (!p.settings.unit.empty()) j["unit"] = p.settings.unit;
            if (p.settings.scaled) {
                const double* s = p.settings.scale;
                j["scale"] = {s[0], s[1], s[2], s[3]};
            }
            if (IsDigital(p.kind)) j["bitNames"] = p.settings.bits;
            points.push_back(std::move(j));
        }
    });
    u["online"] = online;
    const UnitWorker* w = sources.worker ? sources.worker(index) : nullptr;
    if (w) {
        const PollCounters& c = w->counters();
        const std::int64_t at = c.lastAtMs, us = c.lastMicros;
        const std::int64_t now = EpochMs(std::chrono::system_clock::now());
        u["lastPollAgeMs"] = at ? Json(std::max<std::int64_t>(0, now - at)) : Json();
        u["replyMs"] = us >= 0 ? Json(us / 1000.0) : Json();
        u["polls"] = c.polls.load();
        u["failures"] = c.failures.load();
    }
    if (withPoints) u["points"] = std::move(points);
    return u;
}

// PUT /api/units/UNIT/KIND/N[/BIT] with {"value": v} (an engineering value on
// a scaled output, else the code), {"raw": code}, and for a whole port
// optionally "mask". Answered once the unit confirmed or refused it.
void WebFace::Impl::write(const httplib::Request& req, httplib::Response& res) {
    const auto index = findUnit(req.matches[1], res);
    if (!index) return;
    const auto kind = KindFromText(req.matches[2]);
    if (!kind) {
        SendError(res, 404,
                  "no point kind '" + std::string(req.matches[2]) + "' (di, do, ai, ao, cnt)");
        return;
    }
    const std::string posText = req.matches[3];
    const std::string bitText = req.matches[4];
    const unsigned long position = posText.size() > 3 ? 1000 : std::stoul(posText);
    const auto point = model.point(*index, *kind, static_cast<unsigned>(position));
    const std::string name = std::string(req.matches[2]) + "/" + posText;
    if (!point) {
        SendError(res, 404, model.description(*index).model->name + std::string(" has no ") + name);
        return;
    }
    if (req.get_header_value("Content-Type").rfind("application/json", 0) != 0) {
        SendError(res, 415, "the body must be JSON (Content-Type: application/json)");
        return;
    }
    const Json body = Json::parse(req.body, nullptr, false);
    if (body.is_discarded() || !body.is_object()) {
        SendError(res, 400, "the body is not a JSON object");
        return;
    }
    for (const auto& [key, v] : body.items()) {
        (void)v;
        if (key != "value" && key != "raw" && key != "mask") {
            SendError(res, 400, "unknown key '" + key + "' (value, raw, mask)");
            return;
        }
    }
    if (body.contains("value") == body.contains("raw")) {
        SendError(res, 400, "give one of \"value\" and \"raw\"");
        return;
    }
    CommandRequest r;
    r.kind = *kind;
    r.position = static_cast<unsigned>(position);
    r.origin = face;
    const bool useRaw = body.contains("raw");
    const Json& v = useRaw ? body["raw"] : body["value"];
    if (!bitText.empty()) {
        if (!IsDigital(*kind)) {
            SendError(res, 404, "only digital ports have bits");
            return;
        }
        r.bit = bitText.size() > 2 ? 100u : static_cast<unsigned>(std::stoul(bitText));
        if (v.is_boolean()) {
            r.raw = v.get<bool>() ? 1 : 0;
        } else if (v.is_number_integer() &&
                   (v.get<std::int64_t>() == 0 || v.get<std::int64_t>() == 1)) {
            r.raw = v.get<std::int64_t>();
        } else {
            SendError(res, 400, "a bit takes 0, 1, true or false");
            return;
        }
    } else if (!useRaw && *kind == Kind::ANALOG_OUT && point->settings.scaled) {
        if (!v.is_number()) {
            SendError(res, 400, "\"value\" must be a number");
            return;
        }
        r.engineering = v.get<double>();
    } else if (v.is_number_integer()) {
        r.raw = v.get<std::int64_t>();
    } else if (v.is_number_unsigned()) {
        SendError(res, 400, "the value is out of range");
        return;
    } else {
        SendError(res, 400, "the value must be an integer code");
        return;
    }
    if (body.contains("mask")) {
        const Json& m = body["mask"];
        if (*kind != Kind::DIGITAL_OUT || r.bit) {
            SendError(res, 400, "\"mask\" is for a whole digital output port");
            return;
        }
        if (!m.is_number_integer() || m.get<std::int64_t>() < 0 || m.get<std::int64_t>() > 255) {
            SendError(res, 400, "\"mask\" must be an integer 0..255");
            return;
        }
        r.mask = static_cast<std::uint8_t>(m.get<std::int64_t>());
    }
    auto w = std::make_shared<Waiter>();
    {
        std::lock_guard<std::mutex> hold(waitersMutex);
        r.tag = nextTag++;
        waiters[r.tag] = w;
    }
    model.submit(*index, r);
    bool answered;
    {
        std::unique_lock<std::mutex> lock(w->mutex);
        answered = w->done.wait_for(lock, COMMAND_WAIT, [&] { return w->answered; });
    }
    {
        std::lock_guard<std::mutex> hold(waitersMutex);
        waiters.erase(r.tag);
    }
    const std::string unit = model.description(*index).topic;
    if (!answered) {
        SendJson(res, 504,
                 {{"error",
                   "no answer from the unit in time; the command may still be carried "
                   "out"},
                  {"outcome", "unknown"}});
        return;
    }
    if (!w->confirmed) {
        // Why it failed decides the status: refused as asked (400), the unit
        // offline (409), the gateway busy or stopping (503), or the unit did
        // not carry it out or may have (502).
        const std::string& why = w->reason;
        int status = 400;
        if (w->outcome) {
            status = 502;
        } else if (why == "unit offline") {
            status = 409;
        } else if (why == "too many commands waiting" || why == "the gateway is stopping") {
            status = 503;
        } else if (why.rfind("the unit did not carry it out", 0) == 0) {
            status = 502;
        }
        Json e{{"error", why}};
        if (w->outcome) e["outcome"] = *w->outcome;
        SendJson(res, status, e);
        return;
    }
    const auto now = model.point(*index, *kind, r.position);
    Json ok{{"unit", unit}, {"point", name}};
    if (now) {
        ok["raw"] = now->raw;
        ok["value"] = now->value;
        ok["text"] = now->valueText();
    }
    SendJson(res, 200, ok);
}

// GET /api/events[?unit=NAME]: every point and state now, then each change.
void WebFace::Impl::events(const httplib::Request& req, httplib::Response& res) {
    auto client = std::make_shared<EventClient>();
    if (req.has_param("unit")) {
        client->unit = findUnit(req.get_param_value("unit"), res);
        if (!client->unit) return;
    }
    {
        std::lock_guard<std::mutex> hold(clientsMutex);
        if (clients.size() >= EVENT_CLIENTS_LIMIT || stopped) {
            SendError(res, 503, "too many event streams open");
            return;
        }
        clients.push_back(client);
    }
    // After joining, so that no change falls between the two: each entry
    // holds the latest value either way.
    for (std::size_t i = 0, n = model.size(); i < n; ++i) {
        model.visit(i, [&](const std::vector<Point>& points, bool online) {
            Entry s;
            s.state = true;
            s.online = online;
            client->put(i, s);
            for (const Point& p : points) {
                if (!p.read) continue;
                Entry e;
                e.kind = p.kind;
                e.position = p.position;
                e.raw = p.raw;
                e.value = p.value;
                e.quality = p.quality;
                e.atMs = EpochMs(p.readAt);
                client->put(i, e);
            }
        });
    }
    // Compressed, the stream would wait for a full block: events go plain.
    const_cast<httplib::Request&>(req).headers.erase("Accept-Encoding");
    res.set_header("Cache-Control", "no-cache");
    res.set_chunked_content_provider(
        "text/event-stream",
        [this, client](std::size_t, httplib::DataSink& sink) {
            std::map<std::uint64_t, std::pair<std::size_t, Entry>> batch;
            {
                std::unique_lock<std::mutex> lock(client->mutex);
                client->wake.wait_for(lock, KEEPALIVE,
                                      [&] { return client->closed || !client->pending.empty(); });
                if (client->closed) return false;
                batch.swap(client->pending);
            }
            std::string text;
            if (batch.empty()) text = ": keepalive\n\n";
            for (const auto& [key, item] : batch) {
                (void)key;
                const auto& [u, e] = item;
                Json j;
                j["unit"] = unitName(u);
                if (e.state) {
                    j["online"] = e.online;
                    text += "event: state\ndata: " + j.dump() + "\n\n";
                    continue;
                }
                PointSettings s;
                {
                    std::lock_guard<std::mutex> hold(unitsMutex);
                    if (u < units.size()) {
                        const auto it = units[u].settings.find({e.kind, e.position});
                        if (it != units[u].settings.end()) s = it->second;
                    }
                }
                Point p{e.kind, e.position, s};
                p.value = e.value;
                j["point"] = p.topic();
                j["raw"] = e.raw;
                j["value"] = e.value;
                j["text"] = p.valueText();
                j["quality"] = QualityText(e.quality);
                j["at"] = e.atMs;
                text += "event: point\ndata: " + j.dump() + "\n\n";
            }
            return sink.write(text.data(), text.size());
        },
        [this, client](bool) {
            std::lock_guard<std::mutex> hold(clientsMutex);
            std::erase(clients, client);
        });
}

std::string WebFace::Impl::metrics() {
    std::string out;
    auto line = [&](const std::string& text) { out += text + "\n"; };
    line("# HELP kelvo_gateway_build_info The gateway's version.");
    line("# TYPE kelvo_gateway_build_info gauge");
    line(std::string("kelvo_gateway_build_info{version=\"") + Label(KELVO_GATEWAY_VERSION) +
         "\"} 1");
    line("# HELP kelvo_gateway_broker_connected 1 while the gateway is connected to its broker.");
    line("# TYPE kelvo_gateway_broker_connected gauge");
    line(std::string("kelvo_gateway_broker_connected ") +
         (sources.brokerConnected && sources.brokerConnected() ? "1" : "0"));
    std::size_t streams;
    {
        std::lock_guard<std::mutex> hold(clientsMutex);
        streams = clients.size();
    }
    line("# HELP kelvo_gateway_face_clients Clients connected to each face.");
    line("# TYPE kelvo_gateway_face_clients gauge");
    line("kelvo_gateway_face_clients{face=\"http_events\"} " + std::to_string(streams));
    line(std::string("kelvo_gateway_face_clients{face=\"mqtt\"} ") +
         (sources.brokerConnected && sources.brokerConnected() ? "1" : "0"));
    const auto commands = model.commandCounts();
    line("# HELP kelvo_gateway_commands_total Commands from every face, by outcome.");
    line("# TYPE kelvo_gateway_commands_total counter");
    line("kelvo_gateway_commands_total{outcome=\"confirmed\"} " +
         std::to_string(commands.confirmed));
    line("kelvo_gateway_commands_total{outcome=\"refused\"} " + std::to_string(commands.refused));
    line("kelvo_gateway_commands_total{outcome=\"unknown\"} " + std::to_string(commands.unknown));

    std::string online, polls, failures, histogram;
    for (std::size_t i = 0, n = model.size(); i < n; ++i) {
        const std::string label = "unit=\"" + Label(model.description(i).topic) + "\"";
        online +=
            "kelvo_gateway_unit_online{" + label + "} " + (model.online(i) ? "1" : "0") + "\n";
        const UnitWorker* w = sources.worker ? sources.worker(i) : nullptr;
        if (!w) continue;
        const PollCounters& c = w->counters();
        polls += "kelvo_gateway_polls_total{" + label + "} " + std::to_string(c.polls) + "\n";
        failures +=
            "kelvo_gateway_poll_failures_total{" + label + "} " + std::to_string(c.failures) + "\n";
        std::uint64_t cumulative = 0;
        for (std::size_t b = 0; b < PollCounters::BUCKETS; ++b) {
            cumulative += c.buckets[b];
            char le[32];
            if (b < std::size(PollCounters::POLL_BOUNDS_US)) {
                std::snprintf(le, sizeof le, "%g", PollCounters::POLL_BOUNDS_US[b] / 1e6);
            } else {
                std::snprintf(le, sizeof le, "+Inf");
            }
            histogram += "kelvo_gateway_poll_seconds_bucket{" + label + ",le=\"" + le + "\"} " +
                         std::to_string(cumulative) + "\n";
        }
        char sum[48];
        std::snprintf(sum, sizeof sum, "%.6f", c.micros / 1e6);
        histogram += "kelvo_gateway_poll_seconds_sum{" + label + "} " + sum + "\n";
        histogram +=
            "kelvo_gateway_poll_seconds_count{" + label + "} " + std::to_string(cumulative) + "\n";
    }
    line("# HELP kelvo_gateway_unit_online 1 while the unit answers its polls.");
    line("# TYPE kelvo_gateway_unit_online gauge");
    out += online;
    line("# HELP kelvo_gateway_polls_total Polls of each unit.");
    line("# TYPE kelvo_gateway_polls_total counter");
    out += polls;
    line("# HELP kelvo_gateway_poll_failures_total Polls the unit did not answer.");
    line("# TYPE kelvo_gateway_poll_failures_total counter");
    out += failures;
    line("# HELP kelvo_gateway_poll_seconds Time of each poll, reply included.");
    line("# TYPE kelvo_gateway_poll_seconds histogram");
    out += histogram;
    return out;
}

void WebFace::Impl::routes() {
    httplib::Server& s = *server;
    const Asset* page = nullptr;
    for (std::size_t i = 0; i < WEB_ASSETS_COUNT; ++i) {
        if (std::string(WEB_ASSETS[i].name) == "index.html") page = &WEB_ASSETS[i];
    }
    auto serve = [](httplib::Response& res, const Asset& a) {
        res.set_content(reinterpret_cast<const char*>(a.data), a.size, ContentType(a.name));
        res.set_header("Cache-Control", "no-cache");
        res.set_header("X-Content-Type-Options", "nosniff");
    };
    // Writes are checked before routing: a write without the token learns
    // nothing about what exists.
    s.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
        if (req.method != "PUT" && req.method != "POST")
            return httplib::Server::HandlerResponse::Unhandled;
        return authorized(req, res) ? httplib::Server::HandlerResponse::Unhandled
                                    : httplib::Server::HandlerResponse::Handled;
    });
    s.set_error_handler([](const httplib::Request&, httplib::Response& res) {
        if (!res.body.empty()) return;
        const char* reason = res.status == 404   ? "not found"
                             : res.status == 413 ? "the request is too large"
                             : res.status == 414 ? "the request line is too long"
                             : res.status == 405 ? "method not allowed"
                                                 : "bad request";
        SendError(res, res.status, reason);
    });
    s.Get("/",
          [page, serve](const httplib::Request&, httplib::Response& res) { serve(res, *page); });
    // Only the files built in; a name is looked up, never opened.
    s.Get(R"(/assets/([A-Za-z0-9._-]+))",
          [serve](const httplib::Request& req, httplib::Response& res) {
              const std::string name = req.matches[1];
              for (std::size_t i = 0; i < WEB_ASSETS_COUNT; ++i) {
                  if (name == WEB_ASSETS[i].name) {
                      serve(res, WEB_ASSETS[i]);
                      return;
                  }
              }
              SendError(res, 404, "not found");
          });
    s.Get("/api/openapi.json", [serve](const httplib::Request&, httplib::Response& res) {
        for (std::size_t i = 0; i < WEB_ASSETS_COUNT; ++i) {
            if (std::string(WEB_ASSETS[i].name) == "openapi.json") serve(res, WEB_ASSETS[i]);
        }
    });
    s.Get("/healthz", [this](const httplib::Request&, httplib::Response& res) {
        std::size_t total = model.size(), online = 0;
        for (std::size_t i = 0; i < total; ++i) online += model.online(i) ? 1 : 0;
        SendJson(res, 200, {{"status", "ok"}, {"units", total}, {"online", online}});
    });
    s.Get("/api/units", [this](const httplib::Request&, httplib::Response& res) {
        Json all = Json::array();
        for (std::size_t i = 0, n = model.size(); i < n; ++i) all.push_back(unitJson(i, false));
        SendJson(res, 200, all);
    });
    s.Get(R"(/api/units/([^/]+))", [this](const httplib::Request& req, httplib::Response& res) {
        if (const auto index = findUnit(req.matches[1], res)) {
            SendJson(res, 200, unitJson(*index, true));
        }
    });
    s.Put(R"(/api/units/([^/]+)/([^/]+)/(\d+)(?:/(\d+))?)",
          [this](const httplib::Request& req, httplib::Response& res) { write(req, res); });
    s.Get("/api/events",
          [this](const httplib::Request& req, httplib::Response& res) { events(req, res); });
    s.Get("/metrics", [this](const httplib::Request&, httplib::Response& res) {
        res.set_content(metrics(), "text/plain; version=0.0.4; charset=utf-8");
    });
    sampling->routes(
        s, [this](const std::string& name, httplib::Response& res) { return findUnit(name, res); });
}

}  // namespace gateway
