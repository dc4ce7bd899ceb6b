// The gateway's settings: defaults, the TOML file and the command line, in
// that order of precedence.
#pragma once

#include <cstddef>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace gateway {

struct BrokerSettings {
    std::string host = "localhost";
    int port = 0;          // 0: 1883, or 8883 with TLS
    std::string clientId;  // empty: "kelvo-gateway-" + gateway ID
    std::string username;
    std::string password;
    std::string passwordFile;  // not empty: the password is this file's first line
    std::string caFile;        // not empty: TLS, checking the broker against this CA
    int keepalive = 30;        // seconds

    int effectivePort() const { return port != 0 ? port : caFile.empty() ? 1883 : 8883; }
};

// When a point is reported: on a change (past its deadband) or every poll.
enum class PublishMode { CHANGE, POLL };

// One channel or port of a unit, as configured: [unit."KV-109-1".ai.0].
struct PointSettings {
    bool scaled = false;
    double scale[4] = {0, 1, 0, 1};  // raw low, raw high -> engineering low, high
    std::string unit;                // engineering unit, e.g. "degC"
    int decimals = 2;                // of the engineering value's text
    double deadband = 0;             // engineering units; 0: every change
    std::vector<std::string> bits;   // digital ports: names of bits 0, 1, ...
};

// [unit."KV-109-1"]: everything unset takes the gateway's value.
struct UnitSettings {
    std::optional<int> periodMs;
    std::string name;  // the topic level; empty: the unit's own name ("KV-109-1")
    std::optional<PublishMode> publish;
    std::optional<int> heartbeatS;
    std::map<std::string, PointSettings> points;  // "ai/0", "di/2", ...
    std::optional<int> modbusId;                  // 1..247; unset: numbered in order
};

struct HomeAssistantSettings {
    bool enabled = false;
    std::string prefix = "homeassistant";
};

// The order of the two registers of a 32-bit value on Modbus.
enum class WordOrder { HIGH_FIRST, LOW_FIRST };

// [modbus]: the Modbus TCP server, off while `listen` is empty.
struct ModbusSettings {
    std::string listen;  // "HOST:PORT"
    WordOrder wordOrder = WordOrder::HIGH_FIRST;
    int clients = 64;       // connections at once
    int idleTimeoutS = 60;  // a connection without a request this long is closed
};

// [http]: the web dashboard, HTTP API and metrics; off while `listen` is empty.
struct HttpSettings {
    std::string listen;    // "HOST:PORT"; a bare port or ":PORT" listens on 127.0.0.1
    std::string token;     // not empty: every write needs "Authorization: Bearer TOKEN"
    std::string certFile;  // both set: HTTPS with this certificate chain and key
    std::string keyFile;

    std::string host() const;
    int port() const;       // 0: `listen` has no valid port
    bool loopback() const;  // host() is a loopback address
};

// [sparkplug]: the Sparkplug B edge node (the gateway ID is its node ID).
struct SparkplugSettings {
    bool enabled = false;
    std::string groupId = "kelvo";
    std::string primaryHost;  // not empty: send only while this host application is online
    bool plainTopics = true;  // false: Sparkplug alone, no PREFIX/... topics
};

// [store]: where changes wait for the broker. An empty path keeps them in
// memory only.
struct StoreSettings {
    std::string path;
    int maxMb = 256;
};

struct Settings {
    std::string id;  // empty: the host name
    std::string prefix = "kelvo";
    int periodMs = 100;
    std::optional<bool> broadcast;       // unset: broadcast when no address is listed
    std::vector<std::string> addresses;  // units addressed directly
    int rescanSeconds = 60;              // look for units not found yet this often; 0: never
    PublishMode publish = PublishMode::CHANGE;
    int heartbeatS = 0;                         // 0: no heartbeat
    std::map<std::string, UnitSettings> units;  // by the unit's own name, "KV-109-1"
    HomeAssistantSettings homeAssistant;
    BrokerSettings broker;
    ModbusSettings modbus;
    HttpSettings http;
    SparkplugSettings sparkplug;
    StoreSettings store;

    bool useBroadcast() const { return broadcast.value_or(addresses.empty()); }
    // The unit's settings; an empty set for a unit the file does not name.
    const UnitSettings& unitSettings(const std::string& unit) const;
    int periodFor(const std::string& unit) const {
        return unitSettings(unit).periodMs.value_or(periodMs);
    }
    // The topic level of a unit: its configured name, or its own.
    std::string topicName(const std::string& unit) const {
        const std::string& name = unitSettings(unit).name;
        return name.empty() ? unit : name;
    }
};

// A configuration the gateway cannot run with; what() names the file and
// line where there is one.
struct ConfigError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Reads a TOML file over `settings`. Unknown keys, wrong types and values
// out of range are errors, and so is a file that is not a regular file, is
// larger than CONFIG_LIMIT or nests tables, arrays or keys deeper than
// NESTING_LIMIT. Warns when the file holds a password and others may read it.
constexpr std::size_t CONFIG_LIMIT = 1 << 20;
constexpr int NESTING_LIMIT = 32;
void LoadFile(const std::string& path, Settings& settings);
void LoadText(const std::string& text, const std::string& sourceName, Settings& settings);

// The whole of a regular file of at most `limit` bytes; anything else is a
// ConfigError naming the file.
std::string ReadFile(const std::string& path, std::size_t limit);

// Reads broker.passwordFile, when set, into broker.password: its first line,
// at most PASSWORD_FILE_LIMIT bytes in all.
constexpr std::size_t PASSWORD_FILE_LIMIT = 4096;
void LoadPassword(BrokerSettings& broker);

// "HOST:PORT" or "HOST" (keeping the port).
void SetBroker(const std::string& hostPort, BrokerSettings& broker);

// Checks what the file and the command line give together: among others,
// the topic prefix and the gateway ID must make valid MQTT topic levels
// (UTF-8, no NUL or control character, no '+' or '#', no empty level), and
// unit names must be such levels too, unique among the units of the file.
void Validate(const Settings& settings);

}  // namespace gateway
