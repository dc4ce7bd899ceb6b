// kelvo-bench: the native benchmark client. scripts/run-bench starts the
// peers, pins the processes and turns the printed lines into its table.
//
//   kelvo-bench exchange --label L [--peer ADDRESS] [--modbus ADDRESS:PORT]
//                        [--reps N] [--seconds S]
//       Round trips per second of the library and of the raw client (and of
//       libmodbus), interleaved: every repetition measures each client once,
//       in rotating order, so that each library figure has a raw figure taken
//       moments apart under the same conditions to be divided by.
//   kelvo-bench count --client NAME [--ops N] [--peer ADDRESS] [--modbus ...]
//       N operations of one client between callgrind's start and stop
//       requests (run it under valgrind --tool=callgrind --instr-atstart=no),
//       and the heap allocations made meanwhile. NAME: lib-readdio,
//       raw-readdio, lib-multiaio, raw-multiaio, modbus, lib-memread,
//       raw-memread, null (the loop alone).
//   kelvo-bench initial --units N [--reps R]
//       Seconds of Kelvo_Initial with N simulated units. It broadcasts, so it
//       refuses to run outside scripts/netns-run.
//   kelvo-bench scan --units N [--reps R]
//       Milliseconds to read port 0 of each of N simulated units (kelvo-sim
//       with a reply delay), one thread per unit, and serially. Broadcasts too.
//
// Results go to stdout as tab-separated lines (see bench.h); progress and
// errors to stderr.
#include <unistd.h>

#include <atomic>
#include <barrier>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "bench.h"
#include "kelvo.h"
#include "library_client.h"
#include "modbus_client.h"
#include "raw_client.h"
#include "support/netcheck.h"

#if __has_include(<valgrind/callgrind.h>)
#include <valgrind/callgrind.h>
#else
#define CALLGRIND_START_INSTRUMENTATION
#define CALLGRIND_STOP_INSTRUMENTATION
#endif

extern "C" unsigned long long kelvo_bench_allocations;  // alloc_count.c
extern "C" const int kelvo_bench_counting;              // 0: allocations not counted

namespace {

constexpr std::uint16_t COMMAND_PORT = 10001;
constexpr std::uint32_t MEM_READ_SIZE = 1u << 20;  // 1 MiB per transfer
constexpr std::uint32_t MEM_CHUNK = 248;
constexpr std::uint32_t MEM_EXCHANGES = (MEM_READ_SIZE + MEM_CHUNK - 1) / MEM_CHUNK;
constexpr std::uint8_t PORT_IMAGE = 8;
constexpr std::uint8_t CHANNEL_BLOCK = 240;

struct Options {
    std::string command;
    std::string label = "run";
    std::string peer = "127.0.0.2";
    std::string modbus;  // empty: no libmodbus figures
    std::string client;
    int reps = 7;
    double seconds = 0.4;
    std::uint64_t ops = 2000;
    int units = 1;
};

[[noreturn]] void usage() {
    std::fprintf(stderr,
                 "usage: kelvo-bench exchange --label L [--peer A] [--modbus A:P] [--reps N] "
                 "[--seconds S]\n"
                 "       kelvo-bench count --client NAME [--ops N] [--peer A] [--modbus A:P]\n"
                 "       kelvo-bench initial --units N [--reps R]\n"
                 "       kelvo-bench scan --units N [--reps R]\n");
    std::exit(2);
}

Options parse(int argc, char** argv) {
    Options o;
    if (argc < 2) usage();
    o.command = argv[1];
    for (int i = 2; i < argc; ++i) {
        const std::string name = argv[i];
        if (i + 1 >= argc) usage();
        const char* value = argv[++i];
        if (name == "--label") {
            o.label = value;
        } else if (name == "--peer") {
            o.peer = value;
        } else if (name == "--modbus") {
            o.modbus = value;
        } else if (name == "--client") {
            o.client = value;
        } else if (name == "--reps") {
            o.reps = std::atoi(value);
        } else if (name == "--seconds") {
            o.seconds = std::atof(value);
        } else if (name == "--ops") {
            o.ops = std::strtoull(value, nullptr, 10);
        } else if (name == "--units") {
            o.units = std::atoi(value);
        } else {
            usage();
        }
    }
    if (o.reps < 1 || o.reps > 1000 || o.seconds <= 0.0 || o.seconds > 60.0 || o.ops < 1 ||
        o.ops > 10'000'000) {
        usage();
    }
    return o;
}

[[noreturn]] void fail(const std::string& why) {
    std::fprintf(stderr, "kelvo-bench: %s\n", why.c_str());
    std::exit(1);
}

// Everything the clients need, connected once per process.
struct Clients {
    bench::LibraryClient library;
    bench::RawClient raw;
    bench::ModbusClient modbus;
    bool haveModbus = false;
    std::vector<std::uint8_t> memory = std::vector<std::uint8_t>(MEM_READ_SIZE);
    std::uint8_t ports[PORT_IMAGE] = {};
    std::uint8_t block[CHANNEL_BLOCK] = {};
    std::int32_t values[bench::LibraryClient::CHANNELS] = {};
    std::uint8_t coils[bench::ModbusClient::COILS] = {};

    explicit Clients(const Options& o) {
        std::string why;
        if (!library.open(o.peer.c_str(), &why)) fail(why);
        if (!raw.connect(o.peer.c_str(), COMMAND_PORT)) {
            fail("raw client: cannot connect to " + o.peer + ":10001");
        }
        if (!o.modbus.empty()) {
            if (!modbus.connect(o.modbus.c_str())) fail("libmodbus: cannot connect to " + o.modbus);
            haveModbus = true;
        }
    }
};

// One timed client: a name, one operation, how many units of work (exchanges
// or bytes) one operation stands for, and how often the loop reads the clock.
struct Client {
    Client(const char* m, std::function<bool()> s, double units = 1.0, std::uint64_t exchanges = 1,
           std::uint64_t check = 16)
        : metric(m),
          step(std::move(s)),
          unitsPerOp(units),
          exchangesPerOp(exchanges),
          checkEvery(check) {}

    const char* metric;
    std::function<bool()> step;
    double unitsPerOp;
    std::uint64_t exchangesPerOp;
    std::uint64_t checkEvery;
    std::vector<double> rates;
};

std::vector<Client> makeClients(Clients& c) {
    std::vector<Client> all = {
        {"readdio.lib", [&c] { return c.library.readDIO(&c.ports[0]); }},
        {"readdio.raw", [&c] { return c.raw.readPorts(PORT_IMAGE, c.ports); }},
        {"multiaio.lib", [&c] { return c.library.multiReadAIO(c.values); }},
        {"multiaio.raw", [&c] { return c.raw.readPorts(CHANNEL_BLOCK, c.block); }},
        {"memread.lib", [&c] { return c.library.memRead(MEM_READ_SIZE, c.memory.data()); },
         double{MEM_READ_SIZE}, MEM_EXCHANGES, 1},
        {"memread.raw", [&c] { return c.raw.memRead(MEM_READ_SIZE, c.memory.data()); },
         double{MEM_READ_SIZE}, MEM_EXCHANGES, 1},
    };
    if (c.haveModbus) {
        all.emplace_back("modbus.read64", [&c] { return c.modbus.readCoils(c.coils); });
    }
    return all;
}

Client& find(std::vector<Client>& all, const std::string& metric) {
    for (Client& c : all) {
        if (metric == c.metric) return c;
    }
    fail("no client named " + metric);
}

void measure(Client& client, double seconds, bool keep) {
    bench::Bound bound;
    bound.maxSeconds = seconds;
    bound.checkEvery = client.checkEvery;
    const bench::Run run = bench::timed(client.step, bound);
    if (!run.ok) fail(std::string(client.metric) + ": an exchange failed");
    if (keep) client.rates.push_back(run.rate() * client.unitsPerOp);
}

int exchange(const Options& o) {
    Clients clients(o);
    std::vector<Client> all = makeClients(clients);
    // Groups measured back to back; within a group the order rotates from
    // one repetition to the next, so neither client always goes first.
    std::vector<std::vector<std::string>> groups = {{"readdio.lib", "readdio.raw"},
                                                    {"multiaio.lib", "multiaio.raw"},
                                                    {"memread.lib", "memread.raw"}};
    if (clients.haveModbus) groups[0].push_back("modbus.read64");

    for (Client& c : all) measure(c, 0.05, false);  // warm-up: caches, lazy binding
    for (int rep = 0; rep < o.reps; ++rep) {
        for (const auto& group : groups) {
            for (std::size_t i = 0; i < group.size(); ++i) {
                measure(find(all, group[(i + rep) % group.size()]), o.seconds, true);
            }
        }
        std::fprintf(stderr, "kelvo-bench: %s: repetition %d of %d done\n", o.label.c_str(),
                     rep + 1, o.reps);
    }

    const char* label = o.label.c_str();
    for (const Client& c : all) bench::printValue(label, c.metric, bench::summarize(c.rates));
    const auto ratio = [&](const char* metric, const char* figure, const char* baseline) {
        bench::printValue(label, metric,
                          bench::summarize(bench::pairedRatios(find(all, figure).rates,
                                                               find(all, baseline).rates)));
    };
    ratio("readdio.ratio", "readdio.lib", "readdio.raw");
    ratio("multiaio.ratio", "multiaio.lib", "multiaio.raw");
    ratio("memread.ratio", "memread.lib", "memread.raw");
    if (clients.haveModbus) ratio("modbus.ratio", "modbus.read64", "readdio.raw");
    return 0;
}

int count(const Options& o) {
    Clients clients(o);
    std::vector<Client> all = makeClients(clients);
    const std::string metric = [&] {
        // Command-line names: lib-readdio -> readdio.lib, modbus -> modbus.read64.
        if (o.client == "modbus") return std::string("modbus.read64");
        if (o.client == "null") return std::string("null.loop");
        const auto dash = o.client.find('-');
        if (dash == std::string::npos) fail("bad client name " + o.client);
        return o.client.substr(dash + 1) + "." + o.client.substr(0, dash);
    }();
    // "null": the loop with an operation that does nothing, to tell the
    // benchmark's own instructions from the client's.
    all.emplace_back("null.loop", [] { return true; });
    Client& client = o.client == "null" ? all.back() : find(all, metric);

    bench::Bound warm;
    warm.maxOps = client.exchangesPerOp > 1 ? 2 : 200;
    warm.maxSeconds = 10.0;
    if (!bench::timed(client.step, warm).ok) fail(metric + ": an exchange failed");

    bench::Bound bound;
    bound.maxOps = o.ops;
    bound.maxSeconds = 120.0;  // valgrind is slow, but not that slow
    bound.checkEvery = client.checkEvery;
    const unsigned long long before = kelvo_bench_allocations;
    CALLGRIND_START_INSTRUMENTATION;
    const bench::Run run = bench::timed(client.step, bound);
    CALLGRIND_STOP_INSTRUMENTATION;
    const long long allocations =
        kelvo_bench_counting ? static_cast<long long>(kelvo_bench_allocations - before) : -1;
    if (!run.ok) fail(metric + ": an exchange failed");
    std::printf("count\t%s\t%llu\t%llu\t%lld\t%.3f\n", o.client.c_str(),
                static_cast<unsigned long long>(run.ops),
                static_cast<unsigned long long>(run.ops * client.exchangesPerOp), allocations,
                run.seconds);
    return 0;
}

// Kelvo_Initial broadcasts when the device list does not say mode 1: only
// inside scripts/netns-run. Points the library at an empty Windows
// directory (no device list: discovery is broadcast only) and returns it.
std::string privateNetworkAndNoDeviceList() {
    if (!kelvotest::onlyLoopback()) {
        fail(
            "Kelvo_Initial broadcasts: run it through scripts/netns-run (lo must be the only "
            "interface)");
    }
    char pattern[] = "/tmp/kelvo-bench-initial.XXXXXX";
    if (!::mkdtemp(pattern)) fail("mkdtemp failed");
    ::setenv("WINDIR", pattern, 1);
    return pattern;
}

int initial(const Options& o) {
    const std::string pattern = privateNetworkAndNoDeviceList();
    std::vector<double> seconds;
    int wrong = 0;
    for (int rep = 0; rep < o.reps; ++rep) {
        const bench::Clock::time_point start = bench::Clock::now();
        const std::int32_t found = Kelvo_Initial();
        seconds.push_back(bench::secondsSince(start));
        if (found != o.units) {
            ++wrong;
            std::fprintf(stderr, "kelvo-bench: Kelvo_Initial found %d units, not %d\n", found,
                         o.units);
        }
    }
    ::rmdir(pattern.c_str());
    const std::string metric = "initial." + std::to_string(o.units);
    bench::printValue(o.label.c_str(), metric.c_str(), bench::summarize(seconds));
    std::printf("found\t%s\t%s\t%d\t%d\n", o.label.c_str(), metric.c_str(), o.reps - wrong, o.reps);
    return wrong ? 1 : 0;
}

// One port read from every unit of a simulator whose replies each take a
// few milliseconds: with one thread per unit, all at once (the threads wait
// at a barrier, so that thread start-up is not timed), and one unit after
// another from one thread. Milliseconds per scan of all units.
int scan(const Options& o) {
    const std::string pattern = privateNetworkAndNoDeviceList();
    const std::int32_t found = Kelvo_Initial();
    ::rmdir(pattern.c_str());
    if (found != o.units) fail("Kelvo_Initial found " + std::to_string(found) + " units");
    std::vector<KelvoDeviceSummary> units(static_cast<std::size_t>(found));
    Kelvo_BrowseDevice(units.data());
    std::vector<KELVO_HANDLE> handles;
    for (const KelvoDeviceSummary& u : units) {
        handles.push_back(Kelvo_Open(u.modelCode, u.unitId));
        if (!handles.back()) fail(std::string("cannot open ") + u.name);
    }
    const auto n = static_cast<std::ptrdiff_t>(handles.size());
    std::barrier start(n + 1), done(n + 1);
    std::atomic<int> failed{0};
    std::vector<std::thread> threads;
    for (KELVO_HANDLE h : handles) {
        threads.emplace_back([&, h] {
            for (int rep = 0; rep < o.reps; ++rep) {
                start.arrive_and_wait();
                std::uint8_t value = 0;
                if (Kelvo_ReadDIO(h, 0, &value) != KELVO_STATUS_OK) ++failed;
                done.arrive_and_wait();
            }
        });
    }
    std::vector<double> parallel, serial;
    for (int rep = 0; rep < o.reps; ++rep) {
        const bench::Clock::time_point t0 = bench::Clock::now();
        start.arrive_and_wait();
        done.arrive_and_wait();
        parallel.push_back(bench::secondsSince(t0) * 1000);
    }
    for (auto& t : threads) t.join();
    for (int rep = 0; rep < o.reps; ++rep) {
        const bench::Clock::time_point t0 = bench::Clock::now();
        for (KELVO_HANDLE h : handles) {
            std::uint8_t value = 0;
            if (Kelvo_ReadDIO(h, 0, &value) != KELVO_STATUS_OK) ++failed;
        }
        serial.push_back(bench::secondsSince(t0) * 1000);
    }
    const std::string count = std::to_string(o.units);
    bench::printValue(o.label.c_str(), ("scan.threads." + count).c_str(),
                      bench::summarize(parallel));
    bench::printValue(o.label.c_str(), ("scan.serial." + count).c_str(), bench::summarize(serial));
    if (failed) std::fprintf(stderr, "kelvo-bench: %d reads failed\n", failed.load());
    return failed ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
    const Options o = parse(argc, argv);
    if (o.command == "exchange") return exchange(o);
    if (o.command == "count") return count(o);
    if (o.command == "initial") return initial(o);
    if (o.command == "scan") return scan(o);
    usage();
}
