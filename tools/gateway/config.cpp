#include "config.h"

#include <arpa/inet.h>
#include <toml++/toml.h>

#include <charconv>
#include <set>

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

void ReadString(const std::string& source, const toml::table& t, const char* key,
                std::string& out) {
    if (const toml::node* n = t.get(key)) {
        if (!n->is_string()) Fail(source, *n, std::string("'") + key + "' must be a string");
        out = n->as_string()->get();
    }
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

}  // namespace

void LoadText(const std::string& text, const std::string& source, Settings& s) {
    toml::table root;
    try {
        root = toml::parse(text, source);
    } catch (const toml::parse_error& e) {
        throw ConfigError(Where(source, e.source()) + ": " + std::string(e.description()));
    }
    CheckKeys(source, root, "", {"gateway", "units", "unit", "broker"});

    if (const toml::table* g = Section(source, root, "gateway")) {
        CheckKeys(source, *g, "gateway", {"id", "prefix", "period_ms"});
        ReadString(source, *g, "id", s.id);
        ReadString(source, *g, "prefix", s.prefix);
        ReadInt(source, *g, "period_ms", MIN_PERIOD_MS, MAX_PERIOD_MS, s.periodMs);
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
    // [unit."KV-109-1"] period_ms = 500
    if (const toml::table* units = Section(source, root, "unit")) {
        for (const auto& [name, node] : *units) {
            if (!node.is_table())
                Fail(source, node, "[unit." + std::string(name.str()) + "] must be a table");
            const std::string section = "unit." + std::string(name.str());
            CheckKeys(source, *node.as_table(), section, {"period_ms"});
            int period = s.periodMs;
            ReadInt(source, *node.as_table(), "period_ms", MIN_PERIOD_MS, MAX_PERIOD_MS, period);
            s.unitPeriodMs[std::string(name.str())] = period;
        }
    }
    if (const toml::table* b = Section(source, root, "broker")) {
        CheckKeys(source, *b, "broker",
                  {"host", "port", "client_id", "username", "password", "keepalive", "tls"});
        ReadString(source, *b, "host", s.broker.host);
        ReadInt(source, *b, "port", 1, 65535, s.broker.port);
        ReadString(source, *b, "client_id", s.broker.clientId);
        ReadString(source, *b, "username", s.broker.username);
        ReadString(source, *b, "password", s.broker.password);
        ReadInt(source, *b, "keepalive", 5, 65535, s.broker.keepalive);
        if (const toml::table* tls = Section(source, *b, "tls")) {
            CheckKeys(source, *tls, "broker.tls", {"ca_file"});
            ReadString(source, *tls, "ca_file", s.broker.caFile);
        }
    }
}

void LoadFile(const std::string& path, Settings& settings) {
    std::string text;
    {
        FILE* f = std::fopen(path.c_str(), "rb");
        if (!f) throw ConfigError(path + ": cannot be read");
        char buffer[4096];
        std::size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) text.append(buffer, n);
        std::fclose(f);
    }
    LoadText(text, path, settings);
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
    if (s.prefix.empty() || s.prefix.find_first_of("+#") != std::string::npos ||
        s.prefix.back() == '/') {
        throw ConfigError("prefix '" + s.prefix + "' is not a usable topic prefix");
    }
    if (s.id.empty() || s.id.find_first_of("/+#") != std::string::npos) {
        throw ConfigError("gateway ID '" + s.id + "' may not be empty or hold '/', '+' or '#'");
    }
    if (s.periodMs < MIN_PERIOD_MS || s.periodMs > MAX_PERIOD_MS) {
        throw ConfigError("period must be " + std::to_string(MIN_PERIOD_MS) + ".." +
                          std::to_string(MAX_PERIOD_MS) + " ms");
    }
    for (const auto& a : s.addresses) {
        if (!IsIPv4(a)) throw ConfigError("'" + a + "' is not an IPv4 address");
    }
    if (s.broker.host.empty()) throw ConfigError("no broker host");
}

}  // namespace gateway
