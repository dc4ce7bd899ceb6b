// kelvo-sim: simulates Kelvo I/O units on loopback addresses for tests and
// demonstrations. See sim/README.md.
#include <fcntl.h>
#include <fmt/format.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <string_view>

#include "sim/config.h"
#include "sim/faults.h"
#include "sim/server.h"

// Set by the build from the project version.
#ifndef KELVO_SIM_VERSION
#define KELVO_SIM_VERSION "unknown"
#endif

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

// Everything the command line and the --config file can set.
struct Settings {
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
    bool seedGiven = false;
    bool faultIdent = false;
    bool noDiscovery = false;
    bool analogWaves = false;
    bool verbose = false;
    std::string exchangeLogPath;
    std::string controlPath;
};

void addOptions(CLI::App& app, Settings& s) {
    // A value given again (on the command line after the config file) wins.
    app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    app.add_option("--unit", s.unitTexts,
                   "a unit: MODEL:UNITID[@ADDRESS][,aux=N][,mac=XX-XX-XX-XX-XX-XX]")
        ->type_name("UNIT");
    app.add_flag("--all-models", s.allModels, "one unit of each of the 20 models, unit ID 1");
    app.add_option("--count", s.count, "N more units, models KV-101..KV-120 in turn")
        ->check(CLI::Range(0, 5000));
    app.add_option("--base-address", s.baseAddress,
                   "first address for units without one (default 127.0.0.2)");
    app.add_option("--mem-size", s.memorySize, "sampling memory per unit in bytes (default 1 MiB)")
        ->check(CLI::Range(std::size_t{4096}, sim::MAX_MEMORY_SIZE));
    app.add_option("--ini", s.iniPath, "write a device-list file listing the units");
    app.add_option("--ini-mode", s.iniMode, "mode line of that file (default 1: file only)");
    app.add_option("--fault", s.faultTexts,
                   "TARGET=KIND[:ARG][@P][,after=N][,times=N][,cmd=C]; KIND: delay:MS, drop, "
                   "status[:N], seq, close, restart[:MS]")
        ->type_name("RULE");
    app.add_flag("--fault-ident", s.faultIdent, "let faults hit identification requests too");
    app.add_option("--random-faults", s.randomRate, "fault probability per exchange, all units")
        ->check(CLI::Range(0.0, 1.0));
    app.add_option("--random-kinds", s.randomKinds, "faults to pick from (default: all six)");
    app.add_option("--max-delay", s.maxDelay, "longest random delay in ms (default 3000)")
        ->check(CLI::Range(1, 3'600'000));
    app.add_option("--seed", s.seed, "seed of the fault dice")->each([&s](const std::string&) {
        s.seedGiven = true;
    });
    app.add_flag("--no-discovery", s.noDiscovery, "do not answer discovery queries");
    app.add_flag("--analog-waves", s.analogWaves,
                 "analog inputs follow sine, ramp and square waves instead of holding values");
    app.add_flag("-v,--verbose", s.verbose, "log every request and reply as hex to stderr");
    app.add_option("--exchange-log", s.exchangeLogPath,
                   "append one line per command exchange, with its faults, to this file");
    app.add_option("--control", s.controlPath,
                   "listen for control commands on this Unix socket (see sim/README.md)")
        ->type_name("PATH");
}

// The checks of the values that the options' own checks leave open; throws
// std::invalid_argument.
void checkValues(const Settings& s) {
    for (const std::string& text : s.unitTexts) sim::parseUnit(text);
    for (const std::string& text : s.faultTexts) sim::parseFaultRule(text);
    sim::parseIPv4(s.baseAddress);
    sim::parseFaultKinds(s.randomKinds);
}

// The largest --config file: a few hundred lines are a big one.
constexpr std::size_t CONFIG_SIZE_LIMIT = 1024 * 1024;

// The whole of a config file. Only a regular file of at most
// CONFIG_SIZE_LIMIT bytes is read: a device or a FIFO may never end (or
// never start, and opening it is not allowed to block); throws
// std::invalid_argument naming the file.
std::string readConfigText(const std::string& path) {
    const auto error = [&](const std::string& what) {
        return std::invalid_argument(fmt::format("config file {}: {}", path, what));
    };
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) throw error(std::strerror(errno));
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    struct stat st {};
    if (::fstat(fd, &st) != 0) throw error(std::strerror(errno));
    if (!S_ISREG(st.st_mode)) throw error("not a regular file");
    const auto tooBig = [&] {
        return error(
            fmt::format("larger than {} bytes (the limit of a config file)", CONFIG_SIZE_LIMIT));
    };
    if (static_cast<std::uint64_t>(st.st_size) > CONFIG_SIZE_LIMIT) throw tooBig();
    // The file may grow while it is read: one byte past the limit says so.
    std::string text(CONFIG_SIZE_LIMIT + 1, '\0');
    std::size_t size = 0;
    while (size < text.size()) {
        const ssize_t n = ::read(fd, text.data() + size, text.size() - size);
        if (n == 0) break;
        if (n < 0) {
            if (errno == EINTR) continue;
            throw error(std::strerror(errno));
        }
        size += static_cast<std::size_t>(n);
    }
    if (size > CONFIG_SIZE_LIMIT) throw tooBig();
    text.resize(size);
    return text;
}

// A --config file: "key = value" lines, the keys being the long option names.
// A value is a number, a word, a "quoted string", true/false for the flags, or
// for repeatable options a list ["a", "b"]. Lines starting with # or ; are
// comments. Every entry is checked on its own, by the same options as the
// command line, so that a mistake is reported with its line.
std::vector<std::string> readConfig(const std::string& path) {
    std::istringstream file(readConfigText(path));
    std::vector<std::string> args;
    std::string line;
    for (int number = 1; std::getline(file, line); ++number) {
        const auto where = [&](const std::string& message) {
            return std::invalid_argument(fmt::format("{}:{}: {}", path, number, message));
        };
        const auto trim = [](std::string_view t) {
            const auto first = t.find_first_not_of(" \t\r");
            if (first == std::string_view::npos) return std::string_view{};
            return t.substr(first, t.find_last_not_of(" \t\r") - first + 1);
        };
        const std::string_view text = trim(line);
        if (text.empty() || text[0] == '#' || text[0] == ';') continue;
        const std::size_t eq = text.find('=');
        if (eq == std::string_view::npos)
            throw where(fmt::format("expected key = value: {}", text));
        const std::string key(trim(text.substr(0, eq)));
        std::string_view value = trim(text.substr(eq + 1));

        Settings scratch;
        CLI::App checker;
        addOptions(checker, scratch);
        const CLI::Option* option = checker.get_option_no_throw("--" + key);
        if (key.empty() || option == nullptr) throw where(fmt::format("unknown key '{}'", key));

        std::vector<std::string> values;
        const bool list = value.starts_with('[');
        if (list) {
            if (!value.ends_with(']')) throw where("a list ends with ']'");
            value = value.substr(1, value.size() - 2);
        }
        while (!trim(value).empty()) {
            value = trim(value);
            std::string item;
            if (value[0] == '"') {
                const std::size_t close = value.find('"', 1);
                if (close == std::string_view::npos) throw where("unterminated string");
                item = std::string(value.substr(1, close - 1));
                value = trim(value.substr(close + 1));
            } else {
                const std::size_t comma = list ? value.find(',') : std::string_view::npos;
                item = std::string(trim(value.substr(0, comma)));
                value = comma == std::string_view::npos ? std::string_view{} : value.substr(comma);
            }
            values.push_back(item);
            if (!list && !trim(value).empty()) throw where("one value per key (or a [list])");
            if (value.starts_with(',')) value.remove_prefix(1);
        }
        if (values.empty()) throw where(fmt::format("no value for '{}'", key));

        std::vector<std::string> entry;
        if (option->get_expected_max() == 0) {  // a flag: true or false
            if (values.size() != 1 || (values[0] != "true" && values[0] != "false")) {
                throw where(fmt::format("'{}' takes true or false", key));
            }
            if (values[0] == "true") entry.push_back("--" + key);
        } else {
            if (values.size() > 1 && option->get_items_expected_max() <= 1) {
                throw where(fmt::format("'{}' takes one value", key));
            }
            for (const std::string& v : values) {
                entry.push_back("--" + key);
                entry.push_back(v);
            }
        }
        try {
            std::vector<std::string> reversed(entry.rbegin(), entry.rend());
            checker.parse(reversed);
            checkValues(scratch);
        } catch (const CLI::ParseError& e) {
            throw where(e.what());
        } catch (const std::invalid_argument& e) {
            throw where(e.what());
        }
        args.insert(args.end(), entry.begin(), entry.end());
    }
    return args;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"kelvo-sim: simulated Kelvo I/O units on loopback addresses"};
    Settings s;
    addOptions(app, s);
    std::string configPath;
    app.add_option("--config", configPath, "read options from a file of key = value lines")
        ->type_name("FILE");
    app.set_version_flag("--version", fmt::format("kelvo-sim {}", KELVO_SIM_VERSION));

    try {
        // The --config file's entries go before the command line's, so that
        // the command line has the last word.
        std::vector<std::string> args(argv + 1, argv + argc);
        CLI::App first;
        first.allow_extras();
        first.add_option("--config", configPath);
        first.set_help_flag();
        first.parse(std::vector<std::string>(args.rbegin(), args.rend()));
        if (!configPath.empty()) {
            std::vector<std::string> fromFile = readConfig(configPath);
            args.insert(args.begin(), fromFile.begin(), fromFile.end());
        }
        app.parse(std::vector<std::string>(args.rbegin(), args.rend()));
    } catch (const CLI::ParseError& e) {
        return app.exit(e) == 0 ? 0 : 2;
    } catch (const std::invalid_argument& e) {
        fmt::print(stderr, "kelvo-sim: {}\n", e.what());
        return 2;
    }

    sim::ServerOptions options;
    try {
        std::vector<sim::UnitDescription> descriptions;
        for (const std::string& text : s.unitTexts) descriptions.push_back(sim::parseUnit(text));
        options.units =
            sim::planUnits(descriptions, s.allModels, s.count, sim::parseIPv4(s.baseAddress));
        for (const std::string& text : s.faultTexts) {
            options.faults.push_back(sim::parseFaultRule(text));
            const auto& target = options.faults.back().target;
            if (std::none_of(options.units.begin(), options.units.end(),
                             [&](const sim::Identity& u) { return target.matches(u); })) {
                throw std::invalid_argument("fault '" + text + "' matches no unit");
            }
        }
        options.randomFaults.rate = s.randomRate;
        options.randomFaults.kinds = sim::parseFaultKinds(s.randomKinds);
        options.randomFaults.maxDelayMs = s.maxDelay;
    } catch (const std::invalid_argument& e) {
        fmt::print(stderr, "kelvo-sim: {}\n", e.what());
        return 2;
    }
    if (options.units.empty()) {
        fmt::print(stderr, "kelvo-sim: no units (use --unit, --all-models or --count)\n");
        return 2;
    }
    std::uint64_t seed = s.seedGiven ? s.seed : std::random_device{}();
    options.seed = seed;
    options.memorySize = s.memorySize;
    options.faultIdentification = s.faultIdent;
    options.discovery = !s.noDiscovery;
    options.analogWaves = s.analogWaves;
    options.controlPath = s.controlPath;
    options.verbose = s.verbose;
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> exchangeLog{nullptr, std::fclose};
    if (!s.exchangeLogPath.empty()) {
        exchangeLog.reset(std::fopen(s.exchangeLogPath.c_str(), "a"));
        if (!exchangeLog) {
            fmt::print(stderr, "kelvo-sim: cannot open {}\n", s.exchangeLogPath);
            return 1;
        }
        options.exchangeLog = exchangeLog.get();
    }
    if (s.verbose || s.randomRate > 0.0) fmt::print(stderr, "kelvo-sim: seed {}\n", seed);

    raiseDescriptorLimit();
    installSignalHandlers();
    try {
        sim::Server server(options);
        server.bind();
        if (!s.iniPath.empty()) {
            std::ofstream file(s.iniPath, std::ios::binary | std::ios::trunc);
            file << sim::deviceList(options.units, s.iniMode);
            if (!file.flush()) {
                fmt::print(stderr, "kelvo-sim: cannot write {}\n", s.iniPath);
                return 1;
            }
        }
        if (s.verbose) {
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
