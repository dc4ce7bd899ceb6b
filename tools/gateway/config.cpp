#include "config.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <mosquitto.h>
#include <sys/stat.h>
#include <toml++/toml.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <set>

#include "commands.h"

namespace gateway {
namespace {

std::string Where(const std::string& source, const toml::source_region& region) {
    return source + ":" + std::to_string(region.begin.line);
}

[[noreturn]] void Fail(const std::string& source, const toml::node& node, const std::string& what) {
    throw ConfigError(Where(source, node.source()) + ": " + what);
}

// Every key of `table` must be one of `known`.
void CheckKeys(const std::string& source, const toml::table& table, const std::string& section,
               const std::set<std::string>& known) {
    for (const auto& [key, node] : table) {
        if (!known.count(std::string(key.str()))) {
            throw ConfigError(Where(source, key.source()) + ": unknown key '" +
                              std::string(key.str()) + "'" +
                              (section.empty() ? "" : " in [" + section + "]"));
        }
        (void)node;
    }
}

const toml::table* Section(const std::string& source, const toml::table& root, const char* name) {
    const toml::node* node = root.get(name);
    if (!node) return nullptr;
    if (!node->is_table()) Fail(source, *node, std::string("'") + name + "' must be a table");
    return node->as_table();
}

// A NUL would cut the string short where it is handed on as C text.
void ReadString(const std::string& source, const toml::table& t, const char* key,
                std::string& out) {
    if (const toml::node* n = t.get(key)) {
        if (!n->is_string()) Fail(source, *n, std::string("'") + key + "' must be a string");
        out = n->as_string()->get();
        if (out.find('\0') != std::string::npos) {
            Fail(source, *n, std::string("'") + key + "' holds a NUL character");
        }
    }
}

// Refuses tables, arrays, inline tables and dotted keys nested deeper than
// NESTING_LIMIT before the parser sees them (it recurses on dotted keys).
// Strings and comments are skipped; a dot outside them counts one level of
// the key it belongs to, so a float or a time costs one level at most.
void CheckNesting(const std::string& text, const std::string& source) {
    int depth = 0, dots = 0, line = 1;
    const std::size_t n = text.size();
    for (std::size_t i = 0; i < n; ++i) {
        const char c = text[i];
        if (c == '\n') {
            ++line;
            dots = 0;
        } else if (c == '#') {
            while (i + 1 < n && text[i + 1] != '\n') ++i;
        } else if (c == '"' || c == '\'') {
            const bool triple = i + 2 < n && text[i + 1] == c && text[i + 2] == c;
            i += triple ? 3 : 1;
            for (; i < n; ++i) {
                if (text[i] == '\n') ++line;
                if (c == '"' && text[i] == '\\') {
                    if (i + 1 < n && text[i + 1] == '\n') ++line;
                    ++i;
                } else if (text[i] == c &&
                           (!triple || (i + 2 < n && text[i + 1] == c && text[i + 2] == c))) {
                    if (triple) i += 2;
                    break;
                } else if (!triple && text[i] == '\n') {
                    break;  // unterminated: the parser says so
                }
            }
        } else if (c == '[' || c == '{') {
            ++depth;
            dots = 0;
        } else if (c == ']' || c == '}') {
            if (depth > 0) --depth;
        } else if (c == '=' || c == ',') {
            dots = 0;
        } else if (c == '.') {
            ++dots;
        }
        if (depth + dots > NESTING_LIMIT) {
            throw ConfigError(source + ":" + std::to_string(line) + ": nested more than " +
                              std::to_string(NESTING_LIMIT) + " levels deep");
        }
    }
}

// An MQTT topic level of ours: UTF-8 without control characters, no
// wildcard, no level separator unless `levels` (then no empty level).
bool TopicPart(const std::string& text, bool levels) {
    if (text.empty() || text.size() > 256) return false;
    if (mosquitto_validate_utf8(text.data(), static_cast<int>(text.size())) != MOSQ_ERR_SUCCESS) {
        return false;
    }
    for (const unsigned char ch : text) {
        if (ch < 0x20 || ch == 0x7F || ch == '+' || ch == '#') return false;
    }
    if (!levels) return text.find('/') == std::string::npos;
    return text.front() != '/' && text.back() != '/' && text.find("//") == std::string::npos;
}

int IntIn(const std::string& source, const toml::node& n, const std::string& key, long low,
          long high) {
    if (!n.is_integer()) Fail(source, n, "'" + key + "' must be an integer");
    const long v = static_cast<long>(n.as_integer()->get());
    if (v < low || v > high) {
        Fail(source, n,
             "'" + key + "' must be " + std::to_string(low) + ".." + std::to_string(high));
    }
    return static_cast<int>(v);
}

void ReadInt(const std::string& source, const toml::table& t, const char* key, long low, long high,
             int& out) {
    if (const toml::node* n = t.get(key)) out = IntIn(source, *n, key, low, high);
}

bool IsIPv4(const std::string& text) {
    in_addr a{};
    return inet_pton(AF_INET, text.c_str(), &a) == 1;
}

constexpr long MIN_PERIOD_MS = 10;
constexpr long MAX_PERIOD_MS = 3600000;
constexpr long MAX_HEARTBEAT_S = 86400;
constexpr int MAX_DECIMALS = 9;
constexpr unsigned PORT_BITS = 8;
constexpr long MIN_MODBUS_ID = 1;
constexpr long MAX_MODBUS_ID = 247;
constexpr long MAX_MODBUS_CLIENTS = 4096;

double Number(const std::string& source, const toml::node& n, const std::string& key) {
    if (n.is_integer()) return static_cast<double>(n.as_integer()->get());
    if (n.is_floating_point() && std::isfinite(n.as_floating_point()->get())) {
        return n.as_floating_point()->get();
    }
    Fail(source, n, "'" + key + "' must be a finite number");
}

void ReadPublish(const std::string& source, const toml::table& t, std::optional<PublishMode>& out) {
    if (const toml::node* n = t.get("publish")) {
        const std::string mode = n->is_string() ? n->as_string()->get() : "";
        if (mode != "change" && mode != "poll") {
            Fail(source, *n, "'publish' must be \"change\" or \"poll\"");
        }
        out = mode == "poll" ? PublishMode::POLL : PublishMode::CHANGE;
    }
}

// The model of a unit name "KV-109-1", or null.
const KelvoModel* ModelOf(const std::string& unit) {
    const auto dash = unit.rfind('-');
    if (dash == std::string::npos) return nullptr;
    for (unsigned code = 1; code <= KELVO_MODEL_COUNT; ++code) {
        const KelvoModel* m = kelvo_model(code);
        if (unit.compare(0, dash, m->name) == 0 && std::string(m->name).size() == dash) return m;
    }
    return nullptr;
}

// [unit."KV-109-1".ai.0] and the like: checked against the unit's model.
void ReadPoints(const std::string& source, const std::string& unit, const toml::table& table,
                UnitSettings& out) {
    static constexpr struct {
        const char* name;
        Kind kind;
    } KINDS[] = {{"di", Kind::DIGITAL_IN},
                 {"do", Kind::DIGITAL_OUT},
                 {"ai", Kind::ANALOG_IN},
                 {"ao", Kind::ANALOG_OUT},
                 {"cnt", Kind::COUNTER}};
    const KelvoModel* model = ModelOf(unit);
    for (const auto& kind : KINDS) {
        const toml::table* positions = Section(source, table, kind.name);
        if (!positions) continue;
        if (!model) {
            Fail(source, *table.get(kind.name),
                 "'" + unit + "' is no unit name (MODEL-ID), so its points cannot be checked");
        }
        const bool digital = kind.kind == Kind::DIGITAL_IN || kind.kind == Kind::DIGITAL_OUT;
        for (const auto& [key, node] : *positions) {
            const std::string number(key.str());
            const std::string section = "unit." + unit + "." + kind.name + "." + number;
            unsigned n = 0;
            const auto [end, ec] = std::from_chars(number.data(), number.data() + number.size(), n);
            if (number.empty() || ec != std::errc() || end != number.data() + number.size() ||
                !HasPosition(*model, kind.kind, n)) {
                throw ConfigError(Where(source, key.source()) + ": " + model->name + " has no " +
                                  kind.name + " " + (digital ? "port" : "channel") + " '" + number +
                                  "'");
            }
            if (!node.is_table()) Fail(source, node, "[" + section + "] must be a table");
            const toml::table& t = *node.as_table();
            PointSettings p;
            if (digital) {
                CheckKeys(source, t, section, {"bits"});
                if (const toml::node* b = t.get("bits")) {
                    if (!b->is_array() || b->as_array()->size() > PORT_BITS) {
                        Fail(source, *b, "'bits' must be an array of at most 8 names");
                    }
                    for (const toml::node& name : *b->as_array()) {
                        if (!name.is_string() || name.as_string()->get().empty() ||
                            name.as_string()->get().find('\0') != std::string::npos) {
                            Fail(source, name, "'bits' holds something other than a name");
                        }
                        p.bits.push_back(name.as_string()->get());
                    }
                }
            } else {
                CheckKeys(source, t, section, {"scale", "unit", "decimals", "deadband"});
                if (const toml::node* sc = t.get("scale")) {
                    if (!sc->is_array() || sc->as_array()->size() != 4) {
                        Fail(source, *sc,
                             "'scale' must be [raw low, raw high, engineering low, high]");
                    }
                    for (std::size_t i = 0; i < 4; ++i) {
                        p.scale[i] = Number(source, *sc->as_array()->get(i), "scale");
                    }
                    if (p.scale[0] == p.scale[1] || p.scale[2] == p.scale[3]) {
                        Fail(source, *sc, "'scale' needs two different raw and engineering values");
                    }
                    p.scaled = true;
                }
                ReadString(source, t, "unit", p.unit);
                ReadInt(source, t, "decimals", 0, MAX_DECIMALS, p.decimals);
                if (const toml::node* d = t.get("deadband")) {
                    p.deadband = Number(source, *d, "deadband");
                    if (p.deadband < 0) Fail(source, *d, "'deadband' must not be negative");
                }
            }
            out.points[std::string(kind.name) + "/" + std::to_string(n)] = std::move(p);
        }
    }
}

}  // namespace

const UnitSettings& Settings::unitSettings(const std::string& unit) const {
    static const UnitSettings NONE;
    const auto it = units.find(unit);
    return it != units.end() ? it->second : NONE;
}

void LoadText(const std::string& text, const std::string& source, Settings& s) {
    CheckNesting(text, source);
    toml::table root;
    try {
        root = toml::parse(text, source);
    } catch (const toml::parse_error& e) {
        throw ConfigError(Where(source, e.source()) + ": " + std::string(e.description()));
    }
    CheckKeys(source, root, "",
              {"gateway", "units", "unit", "broker", "homeassistant", "modbus", "http", "sparkplug",
               "store"});

    if (const toml::table* g = Section(source, root, "gateway")) {
        CheckKeys(source, *g, "gateway", {"id", "prefix", "period_ms", "publish", "heartbeat_s"});
        ReadString(source, *g, "id", s.id);
        ReadString(source, *g, "prefix", s.prefix);
        ReadInt(source, *g, "period_ms", MIN_PERIOD_MS, MAX_PERIOD_MS, s.periodMs);
        std::optional<PublishMode> publish;
        ReadPublish(source, *g, publish);
        s.publish = publish.value_or(s.publish);
        ReadInt(source, *g, "heartbeat_s", 0, MAX_HEARTBEAT_S, s.heartbeatS);
    }
    if (const toml::table* ha = Section(source, root, "homeassistant")) {
        CheckKeys(source, *ha, "homeassistant", {"enabled", "prefix"});
        if (const toml::node* n = ha->get("enabled")) {
            if (!n->is_boolean()) Fail(source, *n, "'enabled' must be true or false");
            s.homeAssistant.enabled = n->as_boolean()->get();
        }
        ReadString(source, *ha, "prefix", s.homeAssistant.prefix);
        if (!TopicPart(s.homeAssistant.prefix, true)) {
            Fail(source, *ha->get("prefix"), "'prefix' is not a usable topic prefix");
        }
    }
    if (const toml::table* sp = Section(source, root, "sparkplug")) {
        CheckKeys(source, *sp, "sparkplug",
                  {"enabled", "group_id", "primary_host", "plain_topics"});
        for (const auto& [key, flag] :
             {std::pair<const char*, bool*>{"enabled", &s.sparkplug.enabled},
              std::pair<const char*, bool*>{"plain_topics", &s.sparkplug.plainTopics}}) {
            if (const toml::node* n = sp->get(key)) {
                if (!n->is_boolean())
                    Fail(source, *n, "'" + std::string(key) + "' must be true or false");
                *flag = n->as_boolean()->get();
            }
        }
        ReadString(source, *sp, "group_id", s.sparkplug.groupId);
        if (!TopicPart(s.sparkplug.groupId, false)) {
            Fail(source, *sp->get("group_id"), "'group_id' must be a usable topic level");
        }
        ReadString(source, *sp, "primary_host", s.sparkplug.primaryHost);
        if (sp->get("primary_host") && !TopicPart(s.sparkplug.primaryHost, false)) {
            Fail(source, *sp->get("primary_host"), "'primary_host' must be a usable topic level");
        }
    }
    if (const toml::table* st = Section(source, root, "store")) {
        CheckKeys(source, *st, "store", {"path", "max_mb"});
        ReadString(source, *st, "path", s.store.path);
        ReadInt(source, *st, "max_mb", 1, 1 << 20, s.store.maxMb);
    }
    if (const toml::table* u = Section(source, root, "units")) {
        CheckKeys(source, *u, "units", {"broadcast", "addresses", "rescan_s"});
        ReadInt(source, *u, "rescan_s", 0, 86400, s.rescanSeconds);
        if (const toml::node* n = u->get("broadcast")) {
            if (!n->is_boolean()) Fail(source, *n, "'broadcast' must be true or false");
            s.broadcast = n->as_boolean()->get();
        }
        if (const toml::node* n = u->get("addresses")) {
            if (!n->is_array()) Fail(source, *n, "'addresses' must be an array of IPv4 addresses");
            s.addresses.clear();
            for (const toml::node& a : *n->as_array()) {
                if (!a.is_string() || !IsIPv4(a.as_string()->get())) {
                    Fail(source, a, "'addresses' holds something other than an IPv4 address");
                }
                s.addresses.push_back(a.as_string()->get());
            }
        }
    }
    // [unit."KV-109-1"] period_ms = 500, name = "boiler", ...
    if (const toml::table* units = Section(source, root, "unit")) {
        std::map<std::string, std::string> taken;  // topic name -> unit
        std::map<int, std::string> ids;            // Modbus unit ID -> unit
        for (const auto& [key, node] : *units) {
            const std::string unit(key.str());
            if (!node.is_table()) Fail(source, node, "[unit." + unit + "] must be a table");
            const toml::table& t = *node.as_table();
            CheckKeys(source, t, "unit." + unit,
                      {"period_ms", "name", "publish", "heartbeat_s", "modbus_id", "di", "do", "ai",
                       "ao", "cnt"});
            UnitSettings u;
            if (t.get("period_ms")) {
                int period = 0;
                ReadInt(source, t, "period_ms", MIN_PERIOD_MS, MAX_PERIOD_MS, period);
                u.periodMs = period;
            }
            ReadString(source, t, "name", u.name);
            if (t.get("name") && (!TopicPart(u.name, false) || u.name == "gateway")) {
                Fail(source, *t.get("name"),
                     "'name' must be a usable topic level (UTF-8 text without control "
                     "characters, '/', '+' or '#'), and not \"gateway\"");
            }
            ReadPublish(source, t, u.publish);
            if (t.get("heartbeat_s")) {
                int heartbeat = 0;
                ReadInt(source, t, "heartbeat_s", 0, MAX_HEARTBEAT_S, heartbeat);
                u.heartbeatS = heartbeat;
            }
            if (t.get("modbus_id")) {
                int id = 0;
                ReadInt(source, t, "modbus_id", MIN_MODBUS_ID, MAX_MODBUS_ID, id);
                u.modbusId = id;
                const auto [other, fresh] = ids.emplace(id, unit);
                if (!fresh) {
                    Fail(source, *t.get("modbus_id"),
                         "units '" + other->second + "' and '" + unit + "' both have modbus_id " +
                             std::to_string(id));
                }
            }
            ReadPoints(source, unit, t, u);
            const std::string topic = u.name.empty() ? unit : u.name;
            const auto [it, fresh] = taken.emplace(topic, unit);
            if (!fresh) {
                Fail(source, t.get("name") ? *t.get("name") : node,
                     "units '" + it->second + "' and '" + unit + "' would both be named '" + topic +
                         "'");
            }
            s.units[unit] = std::move(u);
        }
    }
    if (const toml::table* m = Section(source, root, "modbus")) {
        CheckKeys(source, *m, "modbus", {"listen", "word_order", "clients", "idle_timeout_s"});
        ReadString(source, *m, "listen", s.modbus.listen);
        if (const toml::node* n = m->get("word_order")) {
            const std::string order = n->is_string() ? n->as_string()->get() : "";
            if (order != "high_first" && order != "low_first") {
                Fail(source, *n, "'word_order' must be \"high_first\" or \"low_first\"");
            }
            s.modbus.wordOrder =
                order == "low_first" ? WordOrder::LOW_FIRST : WordOrder::HIGH_FIRST;
        }
        ReadInt(source, *m, "clients", 1, MAX_MODBUS_CLIENTS, s.modbus.clients);
        ReadInt(source, *m, "idle_timeout_s", 1, 86400, s.modbus.idleTimeoutS);
    }
    if (const toml::table* h = Section(source, root, "http")) {
        CheckKeys(source, *h, "http", {"listen", "token", "cert_file", "key_file"});
        ReadString(source, *h, "listen", s.http.listen);
        ReadString(source, *h, "token", s.http.token);
        ReadString(source, *h, "cert_file", s.http.certFile);
        ReadString(source, *h, "key_file", s.http.keyFile);
    }
    if (const toml::table* b = Section(source, root, "broker")) {
        CheckKeys(source, *b, "broker",
                  {"host", "port", "client_id", "username", "password", "password_file",
                   "keepalive", "tls"});
        ReadString(source, *b, "host", s.broker.host);
        ReadInt(source, *b, "port", 1, 65535, s.broker.port);
        ReadString(source, *b, "client_id", s.broker.clientId);
        ReadString(source, *b, "username", s.broker.username);
        ReadString(source, *b, "password", s.broker.password);
        ReadString(source, *b, "password_file", s.broker.passwordFile);
        ReadInt(source, *b, "keepalive", 5, 65535, s.broker.keepalive);
        if (const toml::table* tls = Section(source, *b, "tls")) {
            CheckKeys(source, *tls, "broker.tls", {"ca_file"});
            ReadString(source, *tls, "ca_file", s.broker.caFile);
        }
    }
}

std::string ReadFile(const std::string& path, std::size_t limit) {
    // Non-blocking: opening a FIFO must not wait for a writer.
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) throw ConfigError(path + ": cannot be read: " + std::strerror(errno));
    struct stat st {};
    std::string text;
    bool regular = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    bool large = regular && static_cast<unsigned long long>(st.st_size) > limit;
    if (regular && !large) {
        // At most one byte past the limit: the file may grow meanwhile.
        text.resize(limit + 1);
        std::size_t got = 0;
        for (;;) {
            const ssize_t n = read(fd, text.data() + got, text.size() - got);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) {
                const int error = errno;
                close(fd);
                throw ConfigError(path + ": cannot be read: " + std::strerror(error));
            }
            if (n == 0) break;
            got += static_cast<std::size_t>(n);
            if (got == text.size()) break;
        }
        large = got > limit;
        text.resize(got);
    }
    close(fd);
    if (!regular) throw ConfigError(path + ": not a regular file");
    if (large) {
        throw ConfigError(path + ": larger than " + std::to_string(limit) + " bytes");
    }
    return text;
}

void LoadFile(const std::string& path, Settings& settings) {
    const std::string text = ReadFile(path, CONFIG_LIMIT);
    const std::string before = settings.broker.password;
    LoadText(text, path, settings);
    struct stat st {};
    if (settings.broker.password != before && stat(path.c_str(), &st) == 0 &&
        (st.st_mode & S_IROTH)) {
        std::fprintf(stderr,
                     "kelvo-gateway: warning: %s holds the broker password and every user may "
                     "read it; use password_file (README, \"MQTT gateway\")\n",
                     path.c_str());
    }
}

void LoadPassword(BrokerSettings& broker) {
    if (broker.passwordFile.empty()) return;
    if (!broker.password.empty()) {
        throw ConfigError("give the broker password or a password file, not both");
    }
    std::string text = ReadFile(broker.passwordFile, PASSWORD_FILE_LIMIT);
    const auto end = text.find_first_of("\r\n");
    if (end != std::string::npos) text.resize(end);
    if (text.empty() || text.find('\0') != std::string::npos) {
        throw ConfigError(broker.passwordFile + ": no password on its first line");
    }
    broker.password = std::move(text);
}

void SetBroker(const std::string& hostPort, BrokerSettings& broker) {
    const auto colon = hostPort.rfind(':');
    if (colon == std::string::npos) {
        broker.host = hostPort;
        return;
    }
    const std::string port = hostPort.substr(colon + 1);
    int value = 0;
    const auto [end, ec] = std::from_chars(port.data(), port.data() + port.size(), value);
    if (ec != std::errc() || end != port.data() + port.size() || value < 1 || value > 65535) {
        throw ConfigError("--broker: bad port '" + port + "'");
    }
    broker.host = hostPort.substr(0, colon);
    broker.port = value;
}

void Validate(const Settings& s) {
    // Shown with control characters and NUL as '?'.
    auto shown = [](std::string text) {
        for (char& ch : text) {
            if (static_cast<unsigned char>(ch) < 0x20 || ch == 0x7F) ch = '?';
        }
        return text;
    };
    if (!TopicPart(s.prefix, true)) {
        throw ConfigError("prefix '" + shown(s.prefix) +
                          "' is not a usable topic prefix (1..256 bytes of UTF-8 text without "
                          "control characters, '+', '#', or an empty level)");
    }
    if (!TopicPart(s.id, false)) {
        throw ConfigError("gateway ID '" + shown(s.id) +
                          "' is not a usable topic level (1..256 bytes of UTF-8 text without "
                          "control characters, '/', '+' or '#')");
    }
    if (!s.broker.caFile.empty()) ReadFile(s.broker.caFile, CONFIG_LIMIT);
    if (s.periodMs < MIN_PERIOD_MS || s.periodMs > MAX_PERIOD_MS) {
        throw ConfigError("period must be " + std::to_string(MIN_PERIOD_MS) + ".." +
                          std::to_string(MAX_PERIOD_MS) + " ms");
    }
    for (const auto& a : s.addresses) {
        if (!IsIPv4(a)) throw ConfigError("'" + a + "' is not an IPv4 address");
    }
    if (s.broker.host.empty()) throw ConfigError("no broker host");
    if (!s.sparkplug.plainTopics && !s.sparkplug.enabled) {
        throw ConfigError("[sparkplug] plain_topics = false needs [sparkplug] enabled = true");
    }
    if (!s.sparkplug.plainTopics && s.homeAssistant.enabled) {
        throw ConfigError(
            "Home Assistant discovery needs the plain topics ([sparkplug] plain_topics)");
    }
    if (!s.http.listen.empty() && s.http.port() == 0) {
        throw ConfigError("http listen '" + shown(s.http.listen) +
                          "' is not HOST:PORT with a port 1..65535");
    }
    if (s.http.certFile.empty() != s.http.keyFile.empty()) {
        throw ConfigError("http: give both cert_file and key_file, or neither");
    }
    for (const char ch : s.http.token) {
        // The token travels in a header: printable ASCII only.
        if (ch <= 0x20 || ch >= 0x7F) {
            throw ConfigError("http token: only printable ASCII without spaces");
        }
    }
}

std::string HttpSettings::host() const {
    const auto colon = listen.rfind(':');
    if (colon == std::string::npos) {
        // A bare port.
        return listen.find_first_not_of("0123456789") == std::string::npos ? "127.0.0.1" : listen;
    }
    std::string host = listen.substr(0, colon);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
        host = host.substr(1, host.size() - 2);
    }
    return host.empty() ? "127.0.0.1" : host;
}

int HttpSettings::port() const {
    const auto colon = listen.rfind(':');
    const std::string text = colon == std::string::npos ? listen : listen.substr(colon + 1);
    int value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || value < 1 || value > 65535) {
        return 0;
    }
    if (colon == std::string::npos && text != listen) return 0;
    return value;
}

bool HttpSettings::loopback() const {
    const std::string h = host();
    in_addr v4{};
    if (inet_pton(AF_INET, h.c_str(), &v4) == 1) return (ntohl(v4.s_addr) >> 24) == 127;
    return h == "localhost" || h == "::1";
}

}  // namespace gateway
