// The gateway's settings: defaults, the TOML file and the command line, in
// that order of precedence.
#pragma once

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
    std::string caFile;  // not empty: TLS, checking the broker against this CA
    int keepalive = 30;  // seconds

    int effectivePort() const { return port != 0 ? port : caFile.empty() ? 1883 : 8883; }
};

struct Settings {
    std::string id;  // empty: the host name
    std::string prefix = "kelvo";
    int periodMs = 100;
    std::optional<bool> broadcast;            // unset: broadcast when no address is listed
    std::vector<std::string> addresses;       // units addressed directly
    int rescanSeconds = 60;                   // look for units not found yet this often; 0: never
    std::map<std::string, int> unitPeriodMs;  // "KV-109-1" -> poll period
    BrokerSettings broker;

    bool useBroadcast() const { return broadcast.value_or(addresses.empty()); }
    int periodFor(const std::string& unit) const {
        const auto it = unitPeriodMs.find(unit);
        return it != unitPeriodMs.end() ? it->second : periodMs;
    }
};

// A configuration the gateway cannot run with; what() names the file and
// line where there is one.
struct ConfigError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Reads a TOML file over `settings`. Unknown keys, wrong types and values
// out of range are errors.
void LoadFile(const std::string& path, Settings& settings);
void LoadText(const std::string& text, const std::string& sourceName, Settings& settings);

// "HOST:PORT" or "HOST" (keeping the port).
void SetBroker(const std::string& hostPort, BrokerSettings& broker);

// Checks what the file and the command line give together.
void Validate(const Settings& settings);

}  // namespace gateway
