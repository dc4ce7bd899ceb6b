#include "web_sampling.h"

#include <httplib.h>

#include <condition_variable>
#include <memory>
#include <nlohmann/json.hpp>

#include "unit_worker.h"

namespace gateway {
namespace {

using Json = nlohmann::ordered_json;

// A transfer waits for the unit's worker (between polls) and its exchanges.
constexpr auto JOB_WAIT = std::chrono::seconds(30);
// Read back at most this much at once: the unit is not polled meanwhile.
constexpr std::uint32_t READ_DEFAULT = 64 * 1024;
constexpr std::uint32_t READ_LIMIT = 1024 * 1024;
constexpr unsigned SAMPLING_CHANNELS = 16;
constexpr std::uint8_t TIMING_FLAG = 0x04;  // the cycle counts 10 us steps, not ms
constexpr std::uint8_t STATUS_RUNNING = 0x01;
constexpr std::uint8_t STATUS_FULL = 0x02;
constexpr std::size_t PORTS = 8;  // a digital sample: every port's byte

// The digital and analog families of each call do the same; the unit's
// kind picks one.
struct Calls {
    std::uint16_t(KELVO_CALL* setCycle)(KELVO_HANDLE, std::uint32_t, std::uint32_t);
    std::uint16_t(KELVO_CALL* start)(KELVO_HANDLE);
    std::uint16_t(KELVO_CALL* stop)(KELVO_HANDLE);
    std::uint8_t(KELVO_CALL* status)(KELVO_HANDLE, std::uint32_t*);
    std::uint16_t(KELVO_CALL* seek)(KELVO_HANDLE, std::uint32_t);
    std::uint16_t(KELVO_CALL* read)(KELVO_HANDLE, std::uint32_t, std::uint8_t*);
};
const Calls DIGITAL{Kelvo_SetMemSamplingCycleDIO, Kelvo_MemStartDIO, Kelvo_MemStopDIO,
                    Kelvo_MemSampleStatusDIO,     Kelvo_MemSeekDIO,  Kelvo_MemReadDIO};
const Calls ANALOG{Kelvo_SetMemSamplingCycleAI, Kelvo_MemStartAIO, Kelvo_MemStopAIO,
                   Kelvo_MemSampleStatusAIO,    Kelvo_MemSeekAIO,  Kelvo_MemReadAIO};

const Calls& CallsFor(const KelvoModel& m) {
    return kelvo_kind_is_digital(m.kind) ? DIGITAL : ANALOG;
}

void Send(httplib::Response& res, int status, const Json& body) {
    res.status = status;
    res.set_content(body.dump(-1, ' ', false, Json::error_handler_t::replace), "application/json");
}

std::string StatusText(std::uint16_t status) {
    char text[48];
    std::snprintf(text, sizeof text, "the unit refused it (status 0x%04X)", status);
    return text;
}

// The columns of a capture and the size of one sample: a digital unit
// records the byte of each of eight ports; an analog or counter unit a 16-bit code per
// channel, an analog input unit only the chosen channels (none chosen: all).
struct Layout {
    std::vector<std::string> columns;
    std::vector<unsigned> channels;
    std::size_t record = 0;
    bool digital = false;
    bool isSigned = false;
};

Layout LayoutFor(const KelvoModel& m, const std::vector<std::uint8_t>& chosen) {
    Layout l;
    l.digital = kelvo_kind_is_digital(m.kind);
    l.isSigned = kelvo_kind_is_analog(m.kind);
    if (l.digital) {
        // Every sample holds all eight port bytes; the model's ports are shown.
        for (unsigned p = 0; p < std::min<unsigned>(m.total, PORTS); ++p) {
            l.columns.push_back("port" + std::to_string(p));
        }
        l.record = PORTS;
        return l;
    }
    for (unsigned c = 0; c < m.total; ++c) {
        bool taken = m.kind != KELVO_KIND_ANALOG_IN || chosen.empty();
        for (const auto ch : chosen) taken = taken || ch == c;
        if (taken) l.channels.push_back(c);
    }
    for (const unsigned c : l.channels) l.columns.push_back("channel" + std::to_string(c));
    l.record = 2 * l.channels.size();
    return l;
}

std::vector<std::vector<long>> Decode(const Layout& l, const std::vector<std::uint8_t>& data) {
    std::vector<std::vector<long>> rows;
    if (l.record == 0) return rows;
    for (std::size_t at = 0; at + l.record <= data.size(); at += l.record) {
        std::vector<long> row;
        for (std::size_t c = 0; c < l.columns.size(); ++c) {
            if (l.digital) {
                row.push_back(data[at + c]);
                continue;
            }
            const auto raw =
                static_cast<std::uint16_t>(data[at + 2 * c] | data[at + 2 * c + 1] << 8);
            row.push_back(l.isSigned ? static_cast<std::int16_t>(raw) : raw);
        }
        rows.push_back(std::move(row));
    }
    return rows;
}

}  // namespace

bool Sampling::onWorker(std::size_t unit, httplib::Response& res,
                        const std::function<void(KELVO_HANDLE)>& call) {
    if (!model_.online(unit)) {
        Send(res, 409, {{"error", "unit offline"}});
        return false;
    }
    UnitWorker* worker = workers_ ? workers_(unit) : nullptr;
    struct Done {
        std::mutex mutex;
        std::condition_variable cv;
        bool done = false, ran = false;
    };
    auto done = std::make_shared<Done>();
    const bool posted = worker && worker->post([done, call](KELVO_HANDLE h) {
        if (h) call(h);
        {
            std::lock_guard<std::mutex> hold(done->mutex);
            done->done = true;
            done->ran = h != nullptr;
        }
        done->cv.notify_all();
    });
    if (!posted) {
        Send(res, 503, {{"error", "the unit's worker takes no more work now"}});
        return false;
    }
    std::unique_lock<std::mutex> lock(done->mutex);
    if (!done->cv.wait_for(lock, JOB_WAIT, [&] { return done->done; })) {
        // The job still holds what it needs; it finishes on its own.
        Send(res, 504, {{"error", "the unit's worker did not finish in time"}});
        return false;
    }
    if (!done->ran) {
        Send(res, 503, {{"error", "the gateway is stopping"}});
        return false;
    }
    return true;
}

void Sampling::routes(httplib::Server& server, Finder find) {
    const std::string base = R"(/api/units/([^/]+)/sampling)";

    // Status: running, memory full, and the memory in use in bytes (counted
    // by the unit in 4096-byte blocks).
    server.Get(base, [this, find](const httplib::Request& req, httplib::Response& res) {
        const auto unit = find(req.matches[1], res);
        if (!unit) return;
        const Calls& calls = CallsFor(*model_.description(*unit).model);
        auto status = std::make_shared<std::pair<std::uint8_t, std::uint32_t>>();
        if (!onWorker(*unit, res, [&calls, status](KELVO_HANDLE h) {
                status->first = calls.status(h, &status->second);
            })) {
            return;
        }
        std::vector<std::uint8_t> chosen;
        {
            std::lock_guard<std::mutex> hold(mutex_);
            chosen = channels_[*unit];
        }
        Send(res, 200,
             {{"status", status->first},
              {"running", (status->first & STATUS_RUNNING) != 0},
              {"full", (status->first & STATUS_FULL) != 0},
              {"bytes", status->second},
              {"channels", chosen}});
    });

    // Settings: {"cycle": 0..255, "fast": bool (10 us steps), "channels": [..]}.
    server.Put(base, [this, find](const httplib::Request& req, httplib::Response& res) {
        const auto unit = find(req.matches[1], res);
        if (!unit) return;
        const KelvoModel& m = *model_.description(*unit).model;
        if (req.get_header_value("Content-Type").rfind("application/json", 0) != 0) {
            Send(res, 415, {{"error", "the body must be JSON (Content-Type: application/json)"}});
            return;
        }
        const Json body = Json::parse(req.body, nullptr, false);
        if (body.is_discarded() || !body.is_object()) {
            Send(res, 400, {{"error", "the body is not a JSON object"}});
            return;
        }
        for (const auto& [key, v] : body.items()) {
            (void)v;
            if (key != "cycle" && key != "fast" && key != "channels") {
                Send(res, 400, {{"error", "unknown key '" + key + "' (cycle, fast, channels)"}});
                return;
            }
        }
        const Json& cycle = body.value("cycle", Json(1));
        if (!cycle.is_number_integer() || cycle.get<std::int64_t>() < 0 ||
            cycle.get<std::int64_t>() > 255) {
            Send(res, 400, {{"error", "\"cycle\" must be an integer 0..255"}});
            return;
        }
        const Json& fast = body.value("fast", Json(false));
        if (!fast.is_boolean()) {
            Send(res, 400, {{"error", "\"fast\" must be true or false"}});
            return;
        }
        std::vector<std::uint8_t> chosen;
        if (body.contains("channels")) {
            const Json& list = body["channels"];
            if (!list.is_array() || list.size() > SAMPLING_CHANNELS) {
                Send(res, 400, {{"error", "\"channels\" must be a list of channel numbers"}});
                return;
            }
            for (const Json& c : list) {
                if (!c.is_number_integer() || c.get<std::int64_t>() < 0 ||
                    c.get<std::int64_t>() >= std::min<std::int64_t>(m.total, SAMPLING_CHANNELS)) {
                    Send(res, 400,
                         {{"error", std::string(m.name) + " has no channel " + c.dump()}});
                    return;
                }
                chosen.push_back(static_cast<std::uint8_t>(c.get<std::int64_t>()));
            }
            if (!chosen.empty() && m.kind != KELVO_KIND_ANALOG_IN) {
                Send(res, 400, {{"error", "only analog input units sample chosen channels"}});
                return;
            }
        }
        const Calls& calls = CallsFor(m);
        const auto code = static_cast<std::uint32_t>(cycle.get<std::int64_t>());
        const std::uint32_t timing = fast.get<bool>() ? TIMING_FLAG : 0;
        const bool analogIn = m.kind == KELVO_KIND_ANALOG_IN;
        auto status = std::make_shared<std::uint16_t>(KELVO_STATUS_OK);
        if (!onWorker(*unit, res, [&calls, code, timing, chosen, analogIn, status](KELVO_HANDLE h) {
                *status = calls.setCycle(h, timing, code);
                if (*status == KELVO_STATUS_OK && analogIn) {
                    *status = Kelvo_SetMemTargetChannelAI(
                        h, static_cast<std::uint32_t>(chosen.size()), chosen.data());
                }
            })) {
            return;
        }
        if (*status != KELVO_STATUS_OK) {
            Send(res, 502, {{"error", StatusText(*status)}});
            return;
        }
        {
            std::lock_guard<std::mutex> hold(mutex_);
            channels_[*unit] = chosen;
        }
        Send(res, 200, {{"cycle", code}, {"fast", fast}, {"channels", chosen}});
    });

    for (const bool start : {true, false}) {
        server.Post(base + (start ? "/start" : "/stop"),
                    [this, find, start](const httplib::Request& req, httplib::Response& res) {
                        const auto unit = find(req.matches[1], res);
                        if (!unit) return;
                        const Calls& calls = CallsFor(*model_.description(*unit).model);
                        auto status = std::make_shared<std::uint16_t>(KELVO_STATUS_OK);
                        if (!onWorker(*unit, res, [&calls, start, status](KELVO_HANDLE h) {
                                *status = start ? calls.start(h) : calls.stop(h);
                            })) {
                            return;
                        }
                        if (*status != KELVO_STATUS_OK) {
                            Send(res, 502, {{"error", StatusText(*status)}});
                            return;
                        }
                        Send(res, 200, {{"sampling", start ? "started" : "stopped"}});
                    });
    }

    // The capture from the start of memory: ?bytes=N (default: what is in
    // use, at most READ_DEFAULT; at most READ_LIMIT), ?format=csv.
    server.Get(base + "/data", [this, find](const httplib::Request& req, httplib::Response& res) {
        const auto unit = find(req.matches[1], res);
        if (!unit) return;
        const KelvoModel& m = *model_.description(*unit).model;
        std::optional<std::uint32_t> asked;
        if (req.has_param("bytes")) {
            const std::string text = req.get_param_value("bytes");
            char* end = nullptr;
            const unsigned long n = std::strtoul(text.c_str(), &end, 10);
            if (text.empty() || *end || text[0] == '-' || n > READ_LIMIT) {
                Send(res, 400, {{"error", "\"bytes\" must be 0.." + std::to_string(READ_LIMIT)}});
                return;
            }
            asked = static_cast<std::uint32_t>(n);
        }
        const std::string format = req.has_param("format") ? req.get_param_value("format") : "json";
        if (format != "json" && format != "csv") {
            Send(res, 400, {{"error", "\"format\" is json or csv"}});
            return;
        }
        const Calls& calls = CallsFor(m);
        struct Read {
            std::uint16_t status = KELVO_STATUS_OK;
            std::vector<std::uint8_t> data;
        };
        auto read = std::make_shared<Read>();
        if (!onWorker(*unit, res, [&calls, asked, read](KELVO_HANDLE h) {
                std::uint32_t inUse = 0;
                calls.status(h, &inUse);
                const std::uint32_t n = asked.value_or(std::min(inUse, READ_DEFAULT));
                read->status = calls.seek(h, 0);
                if (read->status != KELVO_STATUS_OK || n == 0) return;
                read->data.resize(n);
                read->status = calls.read(h, n, read->data.data());
            })) {
            return;
        }
        if (read->status != KELVO_STATUS_OK) {
            Send(res, 502, {{"error", StatusText(read->status)}});
            return;
        }
        std::vector<std::uint8_t> chosen;
        {
            std::lock_guard<std::mutex> hold(mutex_);
            chosen = channels_[*unit];
        }
        const Layout layout = LayoutFor(m, chosen);
        const auto rows = Decode(layout, read->data);
        if (format == "csv") {
            std::string text = "sample";
            for (const auto& c : layout.columns) text.append(",").append(c);
            text += '\n';
            for (std::size_t r = 0; r < rows.size(); ++r) {
                text += std::to_string(r);
                for (const long v : rows[r]) text.append(",").append(std::to_string(v));
                text += '\n';
            }
            res.set_header("Content-Disposition", "attachment; filename=\"capture.csv\"");
            res.set_content(text, "text/csv");
            return;
        }
        Send(res, 200,
             {{"columns", layout.columns}, {"bytes", read->data.size()}, {"samples", rows}});
    });
}

}  // namespace gateway
