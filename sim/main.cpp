// kelvo-sim: simulates Kelvo I/O units on loopback addresses for tests and
// demonstrations. See sim/README.md.
#include <fmt/format.h>
#include <sys/resource.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <memory>
#include <random>

#include "sim/config.h"
#include "sim/server.h"

namespace {

sim::Server* activeServer = nullptr;

extern "C" void onSignal(int) {
    if (activeServer != nullptr) activeServer->stop();
}

void installSignalHandlers() {
    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
}

// Every unit takes two descriptors and every client one more.
void raiseDescriptorLimit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"kelvo-sim: simulated Kelvo I/O units on loopback addresses"};
    std::vector<std::string> unitTexts;
    std::vector<std::string> faultTexts;
    bool allModels = false;
    std::size_t count = 0;
    std::string baseAddress = "127.0.0.2";
    std::size_t memorySize = sim::DEFAULT_MEMORY_SIZE;
    std::string iniPath;
    int iniMode = 1;
    double randomRate = 0.0;
    std::string randomKinds = "delay,drop,status,seq,close,restart";
    std::uint32_t maxDelay = 3000;
    std::uint64_t seed = 0;
    bool faultIdent = false;
    bool noDiscovery = false;
    bool verbose = false;

    app.add_option("--unit", unitTexts,
                   "a unit: MODEL:UNITID[@ADDRESS][,aux=N][,mac=XX-XX-XX-XX-XX-XX]")
        ->type_name("UNIT");
    app.add_flag("--all-models", allModels, "one unit of each of the 20 models, unit ID 1");
    app.add_option("--count", count, "N more units, models KV-101..KV-120 in turn")
        ->check(CLI::Range(0, 5000));
    app.add_option("--base-address", baseAddress,
                   "first address for units without one (default 127.0.0.2)");
    app.add_option("--mem-size", memorySize, "sampling memory per unit in bytes (default 1 MiB)")
        ->check(CLI::Range(std::size_t{4096}, sim::MAX_MEMORY_SIZE));
    app.add_option("--ini", iniPath, "write a device-list file listing the units");
    app.add_option("--ini-mode", iniMode, "mode line of that file (default 1: file only)");
    app.add_option("--fault", faultTexts,
                   "TARGET=KIND[:ARG][@P][,after=N][,times=N][,cmd=C]; KIND: delay:MS, drop, "
                   "status[:N], seq, close, restart[:MS]")
        ->type_name("RULE");
    app.add_flag("--fault-ident", faultIdent, "let faults hit identification requests too");
    app.add_option("--random-faults", randomRate, "fault probability per exchange, all units")
        ->check(CLI::Range(0.0, 1.0));
    app.add_option("--random-kinds", randomKinds, "faults to pick from (default: all six)");
    app.add_option("--max-delay", maxDelay, "longest random delay in ms (default 3000)")
        ->check(CLI::Range(1, 3'600'000));
    auto* seedOption = app.add_option("--seed", seed, "seed of the fault dice");
    app.add_flag("--no-discovery", noDiscovery, "do not answer discovery queries");
    app.add_flag("-v,--verbose", verbose, "log every request and reply as hex to stderr");
    std::string exchangeLogPath;
    app.add_option("--exchange-log", exchangeLogPath,
                   "append one line per command exchange, with its faults, to this file");
    app.set_config("--config", "", "read options from a TOML/INI file");

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e) == 0 ? 0 : 2;
    }

    sim::ServerOptions options;
    try {
        std::vector<sim::UnitDescription> descriptions;
        for (const std::string& text : unitTexts) descriptions.push_back(sim::parseUnit(text));
        options.units = sim::planUnits(descriptions, allModels, count, sim::parseIPv4(baseAddress));
        for (const std::string& text : faultTexts) {
            options.faults.push_back(sim::parseFaultRule(text));
            const auto& target = options.faults.back().target;
            if (std::none_of(options.units.begin(), options.units.end(),
                             [&](const sim::Identity& u) { return target.matches(u); })) {
                throw std::invalid_argument("fault '" + text + "' matches no unit");
            }
        }
        options.randomFaults.rate = randomRate;
        options.randomFaults.kinds = sim::parseFaultKinds(randomKinds);
        options.randomFaults.maxDelayMs = maxDelay;
    } catch (const std::invalid_argument& e) {
        fmt::print(stderr, "kelvo-sim: {}\n", e.what());
        return 2;
    }
    if (options.units.empty()) {
        fmt::print(stderr, "kelvo-sim: no units (use --unit, --all-models or --count)\n");
        return 2;
    }
    if (seedOption->count() == 0) seed = std::random_device{}();
    options.seed = seed;
    options.memorySize = memorySize;
    options.faultIdentification = faultIdent;
    options.discovery = !noDiscovery;
    options.verbose = verbose;
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> exchangeLog{nullptr, std::fclose};
    if (!exchangeLogPath.empty()) {
        exchangeLog.reset(std::fopen(exchangeLogPath.c_str(), "a"));
        if (!exchangeLog) {
            fmt::print(stderr, "kelvo-sim: cannot open {}\n", exchangeLogPath);
            return 1;
        }
        options.exchangeLog = exchangeLog.get();
    }
    if (verbose || randomRate > 0.0) fmt::print(stderr, "kelvo-sim: seed {}\n", seed);

    raiseDescriptorLimit();
    installSignalHandlers();
    try {
        sim::Server server(options);
        server.bind();
        if (!iniPath.empty()) {
            std::ofstream file(iniPath, std::ios::binary | std::ios::trunc);
            file << sim::deviceList(options.units, iniMode);
            if (!file.flush()) {
                fmt::print(stderr, "kelvo-sim: cannot write {}\n", iniPath);
                return 1;
            }
        }
        if (verbose) {
            for (const sim::Identity& u : options.units) {
                fmt::print(stderr, "kelvo-sim: {} {}:{} aux {} MAC {} ({})\n",
                           sim::formatIPv4(u.address), u.model->name, u.unitId, u.aux,
                           sim::formatMac(u.mac), sim::kindName(u.model->kind));
            }
        }
        activeServer = &server;
        fmt::print("kelvo-sim: ready ({} units)\n", server.unitCount());
        std::fflush(stdout);
        server.run();
        activeServer = nullptr;
    } catch (const std::exception& e) {
        activeServer = nullptr;
        fmt::print(stderr, "kelvo-sim: {}\n", e.what());
        return 1;
    }
    return 0;
}
