#include "web_face.h"

#include <arpa/inet.h>
#include <httplib.h>
#include <openssl/crypto.h>

#include <charconv>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <regex>
#include <shared_mutex>
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
constexpr auto KEEPALIVE = std::chrono::milliseconds(15000);
// A stream sends what changed this often: the changes of a poll round go
// out in one write rather than one each.
constexpr auto TICK = std::chrono::milliseconds(40);
// A write waits at most this long for the unit's answer (its reply timeout,
// a read-back after a failed exchange and the commands queued before it).
constexpr auto COMMAND_WAIT = std::chrono::seconds(8);
// Requests: bodies at most this large; a header line and the request line
// at most 8 KiB each (the server's own limits), and this long to arrive.
constexpr std::size_t BODY_LIMIT = 16 * 1024;
constexpr time_t READ_TIMEOUT_S = 5;
// A client that takes nothing for this long is gone (an event stream ends);
// short, so that a stalled client cannot hold up the gateway's stop.
constexpr time_t WRITE_TIMEOUT_S = 1;

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
    // Text from a unit (its firmware date) need not be UTF-8: replaced, not thrown.
    res.set_content(body.dump(-1, ' ', false, Json::error_handler_t::replace), "application/json");
}

void SendError(httplib::Response& res, int status, const std::string& reason) {
    SendJson(res, status, Json{{"error", reason}});
}

// The host of a Host header or an origin's authority: "[::1]:80" -> "::1".
std::string HostName(const std::string& authority) {
    if (!authority.empty() && authority[0] == '[') {
        const auto end = authority.find(']');
        return end == std::string::npos ? authority : authority.substr(1, end - 1);
    }
    return authority.substr(0, authority.rfind(':'));
}

bool IsAddress(const std::string& host) {
    unsigned char buffer[sizeof(in6_addr)];
    return inet_pton(AF_INET, host.c_str(), buffer) == 1 ||
           inet_pton(AF_INET6, host.c_str(), buffer) == 1;
}

// A tag of an asset's content (FNV-1a), for If-None-Match.
std::string AssetTag(const Asset& a) {
    std::uint64_t h = 1469598103934665603ull;
    for (std::size_t i = 0; i < a.size; ++i) h = (h ^ a.data[i]) * 1099511628211ull;
    char text[24];
    std::snprintf(text, sizeof text, "\"%016llx\"", static_cast<unsigned long long>(h));
    return text;
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

// A point or a unit's state, as an event stream has yet to send it: the
// event's text is made once and shared by every stream.
struct Entry {
    std::size_t unit = 0;
    int point = -1;  // the point's place in its unit; -1: the unit's state
    std::shared_ptr<const std::string> text;
};

struct EventClient {
    std::optional<std::size_t> unit;  // only this unit's points; states of all
    std::mutex mutex;                 // guards everything below
    std::condition_variable wake;
    // The latest entry of each point (by its place among all points, or in
    // the one unit) and each state, and which of them wait to be sent: the
    // memory is bounded by the number of points, however slowly the client
    // reads, and nothing is allocated per change once every slot was used.
    struct Slot {
        Entry entry;
        bool waiting = false;
    };
    std::vector<Slot> points, states;
    std::vector<std::uint32_t> waitingPoints, waitingStates;
    bool closed = false;
    std::chrono::steady_clock::time_point sentAt = std::chrono::steady_clock::now();

    // `slot`: the point's place among all points; `entry.point` in its unit.
    void put(std::size_t slot, const Entry& entry) {
        std::vector<Slot>* slots = &states;
        std::vector<std::uint32_t>* waiting = &waitingStates;
        std::size_t at = entry.unit;
        if (entry.point >= 0) {
            if (unit && *unit != entry.unit) return;
            slots = &points;
            waiting = &waitingPoints;
            at = unit ? static_cast<std::size_t>(entry.point) : slot;
        }
        std::lock_guard<std::mutex> hold(mutex);
        if (slots->size() <= at) slots->resize(at + 1);
        Slot& s = (*slots)[at];
        s.entry = entry;
        if (!s.waiting) {
            s.waiting = true;
            waiting->push_back(static_cast<std::uint32_t>(at));
        }
    }

    // What waits after one tick (woken early only to close): a worker that
    // stores an entry never wakes the stream, so a change costs the worker
    // no more than a store per stream, and a stream makes one write a tick.
    std::vector<std::shared_ptr<const std::string>> take(std::chrono::milliseconds tick) {
        std::unique_lock<std::mutex> lock(mutex);
        wake.wait_for(lock, tick, [&] { return closed; });
        std::vector<std::shared_ptr<const std::string>> out;
        out.reserve(waitingPoints.size() + waitingStates.size());
        for (const auto at : waitingStates) {
            states[at].waiting = false;
            out.push_back(std::move(states[at].entry.text));
        }
        for (const auto at : waitingPoints) {
            points[at].waiting = false;
            out.push_back(std::move(points[at].entry.text));
        }
        waitingStates.clear();
        waitingPoints.clear();
        return out;
    }
};

// "12.30" with `decimals`; "-0.00" reads as a change of sign, so it is "0.00".
std::string ValueText(int decimals, double value) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    if (text[0] == '-' && std::strtod(text, nullptr) == 0) return text + 1;
    return text;
}

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

    // What the face keeps of each unit for its events: its name, as JSON,
    // and its points' topics and decimals, in the model's order.
    struct UnitInfo {
        std::string nameJson;
        std::size_t firstSlot = 0;  // its first point's place among all points
        std::vector<std::pair<std::string, int>> points;
        std::map<std::pair<Kind, unsigned>, int> places;
    };
    std::shared_mutex unitsMutex;  // guards units and slots
    std::vector<std::unique_ptr<UnitInfo>> units;
    std::size_t slots = 0;

    // Guards clients: shared by the workers that hand a change to every
    // stream, taken alone to add or remove one.
    std::shared_mutex clientsMutex;
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
    UnitInfo* unitInfo(std::size_t unit) {
        std::shared_lock<std::shared_mutex> hold(unitsMutex);
        return unit < units.size() ? units[unit].get() : nullptr;
    }
    // The events: "state" {unit, online} and "point" {unit, point, raw,
    // value, text, quality, at}.
    static Entry stateEvent(std::size_t unit, const UnitInfo& info, bool online);
    static Entry pointEvent(std::size_t unit, const UnitInfo& info, int place, const Point& p);
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
        std::lock_guard<std::shared_mutex> hold(impl_->clientsMutex);
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
    auto info = std::make_unique<Impl::UnitInfo>();
    info->nameJson = Json(description.topic).dump();
    for (const Point& p : points) {
        info->places[{p.kind, p.position}] = static_cast<int>(info->points.size());
        info->points.emplace_back(p.topic(), p.settings.decimals);
    }
    std::lock_guard<std::shared_mutex> hold(impl_->unitsMutex);
    info->firstSlot = impl_->slots;
    impl_->slots += info->points.size();
    if (impl_->units.size() <= unit) impl_->units.resize(unit + 1);
    impl_->units[unit] = std::move(info);
}

void WebFace::stateChanged(std::size_t unit, bool online) {
    std::shared_lock<std::shared_mutex> hold(impl_->clientsMutex);
    const Impl::UnitInfo* info = impl_->unitInfo(unit);
    if (impl_->clients.empty() || !info) return;
    const Entry e = Impl::stateEvent(unit, *info, online);
    for (auto& c : impl_->clients) c->put(0, e);
}

void WebFace::pointReported(std::size_t unit, const Point& p, bool always) {
    (void)always;
    std::shared_lock<std::shared_mutex> hold(impl_->clientsMutex);
    if (impl_->clients.empty()) return;
    const Impl::UnitInfo* info = impl_->unitInfo(unit);
    if (!info) return;
    const auto it = info->places.find({p.kind, p.position});
    if (it == info->places.end()) return;
    const Entry e = Impl::pointEvent(unit, *info, it->second, p);
    const std::size_t slot = info->firstSlot + static_cast<std::size_t>(it->second);
    for (auto& c : impl_->clients) c->put(slot, e);
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
    } else if (v.is_number_unsigned() &&
               v.get<std::uint64_t>() > static_cast<std::uint64_t>(INT64_MAX)) {
        // Taken as signed it would wrap to a small negative code.
        SendError(res, 400, "the value " + v.dump() + " is out of range");
        return;
    } else if (v.is_number_integer()) {
        r.raw = v.get<std::int64_t>();
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

Entry WebFace::Impl::stateEvent(std::size_t unit, const UnitInfo& info, bool online) {
    return {unit, -1,
            std::make_shared<const std::string>("event: state\ndata: {\"unit\":" + info.nameJson +
                                                ",\"online\":" + (online ? "true" : "false") +
                                                "}\n\n")};
}

Entry WebFace::Impl::pointEvent(std::size_t unit, const UnitInfo& info, int place, const Point& p) {
    const auto& [topic, decimals] = info.points[static_cast<std::size_t>(place)];
    std::string text;
    text.reserve(160);
    char number[32];
    auto append = [&](auto v) {
        const auto r = std::to_chars(number, number + sizeof number, v);
        text.append(number, r.ptr);
    };
    text.append("event: point\ndata: {\"unit\":").append(info.nameJson);
    text.append(",\"point\":\"").append(topic).append("\",\"raw\":");
    append(p.raw);
    text.append(",\"value\":");
    append(p.value);
    text.append(",\"text\":\"").append(ValueText(decimals, p.value));
    text.append("\",\"quality\":\"").append(QualityText(p.quality)).append("\",\"at\":");
    append(EpochMs(p.readAt));
    text.append("}\n\n");
    return {unit, place, std::make_shared<const std::string>(std::move(text))};
}

// GET /api/events[?unit=NAME]: every point and state now, then each change.
void WebFace::Impl::events(const httplib::Request& req, httplib::Response& res) {
    auto client = std::make_shared<EventClient>();
    if (req.has_param("unit")) {
        client->unit = findUnit(req.get_param_value("unit"), res);
        if (!client->unit) return;
    }
    {
        std::lock_guard<std::shared_mutex> hold(clientsMutex);
        if (clients.size() >= EVENT_CLIENTS_LIMIT || stopped) {
            SendError(res, 503, "too many event streams open");
            return;
        }
        clients.push_back(client);
    }
    // After joining, so that no change falls between the two: each slot
    // holds the latest value either way.
    for (std::size_t i = 0, n = model.size(); i < n; ++i) {
        const UnitInfo* info = unitInfo(i);
        if (!info) continue;
        model.visit(i, [&](const std::vector<Point>& points, bool online) {
            client->put(0, stateEvent(i, *info, online));
            if (client->unit && *client->unit != i) return;
            for (const Point& p : points) {
                const auto it = info->places.find({p.kind, p.position});
                if (!p.read || it == info->places.end()) continue;
                client->put(info->firstSlot + static_cast<std::size_t>(it->second),
                            pointEvent(i, *info, it->second, p));
            }
        });
    }
    // Compressed, the stream would wait for a full block: events go plain.
    const_cast<httplib::Request&>(req).headers.erase("Accept-Encoding");
    res.set_header("Cache-Control", "no-cache");
    res.set_chunked_content_provider(
        "text/event-stream",
        [client](std::size_t, httplib::DataSink& sink) {
            auto batch = client->take(TICK);
            const auto now = std::chrono::steady_clock::now();
            {
                std::lock_guard<std::mutex> hold(client->mutex);
                if (client->closed) return false;
                if (batch.empty() && now - client->sentAt < KEEPALIVE) return true;
                client->sentAt = now;
            }
            std::string text = batch.empty() ? ": keepalive\n\n" : "";
            std::size_t size = 0;
            for (const auto& e : batch) size += e->size();
            text.reserve(size);
            for (const auto& e : batch) text += *e;
            return sink.write(text.data(), text.size());
        },
        [this, client](bool) {
            std::lock_guard<std::shared_mutex> hold(clientsMutex);
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
        std::lock_guard<std::shared_mutex> hold(clientsMutex);
        streams = clients.size();
    }
    line("# HELP kelvo_gateway_face_clients Clients connected to each face.");
    line("# TYPE kelvo_gateway_face_clients gauge");
    line("kelvo_gateway_face_clients{face=\"http_events\"} " + std::to_string(streams));
    line(std::string("kelvo_gateway_face_clients{face=\"mqtt\"} ") +
         (sources.brokerConnected && sources.brokerConnected() ? "1" : "0"));
    if (sources.modbusClients) {
        line("kelvo_gateway_face_clients{face=\"modbus\"} " +
             std::to_string(sources.modbusClients()));
    }
    if (sources.store) {
        const Store::Counts held = sources.store();
        line(
            "# HELP kelvo_gateway_store_dropped_total Changes dropped from the store for its "
            "disk budget, oldest first.");
        line("# TYPE kelvo_gateway_store_dropped_total counter");
        line("kelvo_gateway_store_dropped_total " + std::to_string(held.dropped));
        line("# HELP kelvo_gateway_store_rows Changes waiting in the store for the broker.");
        line("# TYPE kelvo_gateway_store_rows gauge");
        line("kelvo_gateway_store_rows " + std::to_string(held.rows));
        line("# HELP kelvo_gateway_store_bytes What the waiting changes take of the budget.");
        line("# TYPE kelvo_gateway_store_bytes gauge");
        line("kelvo_gateway_store_bytes " + std::to_string(held.bytes));
    }
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
    // The files go plain (compressing chart.js takes longer than sending
    // it), with a tag of their content: a reload costs a 304.
    auto serve = [](const httplib::Request& req, httplib::Response& res, const Asset& a) {
        const std::string tag = AssetTag(a);
        res.set_header("ETag", tag);
        res.set_header("Cache-Control", "no-cache");
        res.set_header("X-Content-Type-Options", "nosniff");
        if (req.get_header_value("If-None-Match") == tag) {
            res.status = 304;
            return;
        }
        const_cast<httplib::Request&>(req).headers.erase("Accept-Encoding");
        res.set_content(reinterpret_cast<const char*>(a.data), a.size, ContentType(a.name));
    };
    // Brotli costs far more time than it saves here: gzip at most. Writes
    // are checked before routing: a write without the token learns nothing
    // about what exists.
    s.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
        auto& headers = const_cast<httplib::Request&>(req).headers;
        const std::string accepted = req.get_header_value("Accept-Encoding");
        headers.erase("Accept-Encoding");
        if (accepted.find("gzip") != std::string::npos) headers.emplace("Accept-Encoding", "gzip");
        // On loopback, a page of some other site whose name was made to
        // point here (DNS rebinding) would be same-origin with the gateway:
        // only addresses and localhost are names of it.
        const std::string host = HostName(req.get_header_value("Host"));
        if (settings.http.loopback() && host != "localhost" && !IsAddress(host)) {
            SendError(res, 403, "this gateway answers only to its address or localhost");
            return httplib::Server::HandlerResponse::Handled;
        }
        if (req.method != "PUT" && req.method != "POST") {
            return httplib::Server::HandlerResponse::Unhandled;
        }
        // A browser names the page that sends a write: one of another site
        // is refused.
        const std::string origin = req.get_header_value("Origin");
        if (!origin.empty()) {
            const auto scheme = origin.find("://");
            const std::string authority =
                scheme == std::string::npos ? origin : origin.substr(scheme + 3);
            if (authority != req.get_header_value("Host")) {
                SendError(res, 403, "writes from pages of other sites are refused");
                return httplib::Server::HandlerResponse::Handled;
            }
        }
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
    s.Get("/", [page, serve](const httplib::Request& req, httplib::Response& res) {
        serve(req, res, *page);
    });
    // Only the files built in; a name is looked up, never opened.
    s.Get(R"(/assets/([A-Za-z0-9._-]+))",
          [serve](const httplib::Request& req, httplib::Response& res) {
              const std::string name = req.matches[1];
              for (std::size_t i = 0; i < WEB_ASSETS_COUNT; ++i) {
                  if (name == WEB_ASSETS[i].name) {
                      serve(req, res, WEB_ASSETS[i]);
                      return;
                  }
              }
              SendError(res, 404, "not found");
          });
    s.Get("/api/openapi.json", [serve](const httplib::Request& req, httplib::Response& res) {
        for (std::size_t i = 0; i < WEB_ASSETS_COUNT; ++i) {
            if (std::string(WEB_ASSETS[i].name) == "openapi.json") serve(req, res, WEB_ASSETS[i]);
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
