// kelvo-gateway: publishes the Kelvo units of one network segment to an MQTT
// broker and takes commands from it. See gateway/README in the top-level
// README ("MQTT gateway").
#include <signal.h>

#include <CLI/CLI.hpp>
#include <cstdio>

#include "config.h"
#include "gateway.h"

int main(int argc, char** argv) {
    CLI::App app{"kelvo-gateway: Kelvo units on an MQTT broker"};
    std::string configFile, broker, prefix, id, passwordFile, modbus, http;
    bool printMap = false, csv = false;
    int period = 0, statsSeconds = 0;
    std::vector<std::string> addresses;
    app.add_option("--config", configFile, "TOML settings file")->check(CLI::ExistingFile);
    app.add_option("--broker", broker, "Broker as HOST:PORT (default localhost:1883)");
    app.add_option("--prefix", prefix, "Topic prefix (default kelvo)");
    app.add_option("--id", id, "Gateway ID (default: the host name)");
    app.add_option("--period", period, "Poll period in ms (default 100)")
        ->check(CLI::Range(10, 3600000));
    app.add_option("--address", addresses,
                   "A unit's IPv4 address, repeatable (replaces the file's list)");
    app.add_option("--password-file", passwordFile,
                   "The broker password: this file's first line (for systemd, %d/NAME)");
    app.add_option("--http", http,
                   "Serve the dashboard, HTTP API and metrics on ADDR:PORT (a bare port: "
                   "127.0.0.1)");
    app.add_option("--stats", statsSeconds, "Print poll statistics to stderr every N seconds")
        ->check(CLI::Range(0, 3600));
    app.add_option("--modbus", modbus, "Serve Modbus TCP on ADDR:PORT (e.g. 127.0.0.1:5020)");
    auto* printMapFlag =
        app.add_flag("--print-modbus-map", printMap,
                     "Find the units, print each one's Modbus unit ID and registers, and exit");
    app.add_flag("--csv", csv, "With --print-modbus-map: as CSV")->needs(printMapFlag);
    app.set_version_flag("--version", KELVO_GATEWAY_VERSION);
    CLI11_PARSE(app, argc, argv);

    gateway::Settings settings;
    try {
        if (!configFile.empty()) gateway::LoadFile(configFile, settings);
        if (!broker.empty()) gateway::SetBroker(broker, settings.broker);
        if (!prefix.empty()) settings.prefix = prefix;
        if (!id.empty()) settings.id = id;
        if (period != 0) settings.periodMs = period;
        if (!addresses.empty()) settings.addresses = addresses;
        if (!http.empty()) settings.http.listen = http;
        if (!passwordFile.empty()) {
            settings.broker.passwordFile = passwordFile;
            settings.broker.password.clear();
        }
        if (!modbus.empty()) settings.modbus.listen = modbus;
        if (printMap) return gateway::PrintModbusMap(settings, csv, stdout);
        gateway::LoadPassword(settings.broker);
    } catch (const gateway::ConfigError& e) {
        std::fprintf(stderr, "kelvo-gateway: %s\n", e.what());
        return 2;
    }

    // Blocked before any thread starts, so that only sigtimedwait sees them.
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);
    signal(SIGPIPE, SIG_IGN);

    try {
        gateway::Gateway gateway(std::move(settings));
        return gateway.run(stop, statsSeconds);
    } catch (const gateway::ConfigError& e) {
        std::fprintf(stderr, "kelvo-gateway: %s\n", e.what());
        return 2;
    }
}
