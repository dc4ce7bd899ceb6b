// Command-line descriptions of units and faults, the device-list file, the
// fault decision per exchange, and what the program makes of a --config file.
#include "sim/config.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <set>
#include <stdexcept>

#include "sim/faults.h"

namespace sim {
namespace {

using namespace kelvo;

TEST(UnitDescriptions, ParseModelUnitAddressAndOptions) {
    UnitDescription s = parseUnit("KV-103:1@127.0.0.2");
    EXPECT_EQ(s.model->code, 3);
    EXPECT_EQ(s.unitId, 1);
    EXPECT_EQ(s.aux, 0);
    EXPECT_EQ(s.address, 0x7F000002u);
    EXPECT_FALSE(s.mac.has_value());

    s = parseUnit("11:255@127.0.1.9,aux=0x10,mac=0a-0B-c-0-1-ff");
    EXPECT_EQ(s.model->name, std::string("KV-111"));
    EXPECT_EQ(s.unitId, 255);
    EXPECT_EQ(s.aux, 0x10);
    EXPECT_EQ(s.address, 0x7F000109u);
    EXPECT_EQ(*s.mac, (Mac{0x0A, 0x0B, 0x0C, 0x00, 0x01, 0xFF}));

    s = parseUnit("kv-120:4");
    EXPECT_EQ(s.model->code, 20);
    EXPECT_FALSE(s.address.has_value());

    for (const char* bad : {"KV-103", "KV-199:1", "KV-103:256", "KV-103:1@127.0.0", "3:1@1.2.3.400",
                            "3:1,aux=300", "3:1,speed=9", "3:1,mac=01-02-03", ":1"}) {
        EXPECT_THROW(parseUnit(bad), std::invalid_argument) << bad;
    }
}

TEST(UnitDescriptions, PlanAssignsFreeAddressesAndRejectsDuplicates) {
    const std::uint32_t base = 0x7F000002;
    std::vector<UnitDescription> descriptions{parseUnit("KV-109:3@127.0.0.3"),
                                              parseUnit("KV-101:9")};
    const auto units = planUnits(descriptions, true, 22, base);
    ASSERT_EQ(units.size(), 2u + 20u + 22u);
    EXPECT_EQ(units[0].address, 0x7F000003u);
    EXPECT_EQ(units[1].address, base);  // first free
    EXPECT_EQ(units[1].unitId, 9);
    EXPECT_EQ(units[2].model->code, 1);  // --all-models skips the taken .3
    EXPECT_EQ(units[2].address, 0x7F000004u);
    EXPECT_EQ(units[21].model->code, 20);
    EXPECT_EQ(units[22].model->code, 1);  // --count: models in turn
    EXPECT_EQ(units[22].unitId, 1);
    EXPECT_EQ(units[42].model->code, 1);
    EXPECT_EQ(units[42].unitId, 2);
    EXPECT_EQ(units[0].mac, (Mac{0x02, 0x4B, 0x56, 0x00, 0x00, 0x03}));
    std::set<std::uint32_t> addresses;
    for (const Identity& u : units) addresses.insert(u.address);
    EXPECT_EQ(addresses.size(), units.size());

    descriptions.push_back(parseUnit("KV-102:1@127.0.0.3"));
    EXPECT_THROW(planUnits(descriptions, false, 0, base), std::invalid_argument);
}

TEST(UnitDescriptions, DeviceListFileLines) {
    std::vector<UnitDescription> descriptions{
        parseUnit("KV-103:1@127.0.0.2,aux=5"),
        parseUnit("KV-119:12@127.0.0.20,mac=02-00-00-00-00-AB")};
    const auto units = planUnits(descriptions, false, 0, 0x7F000002);
    EXPECT_EQ(deviceList(units, 1),
              "1\r\n"
              "KV-103-1,3,1,127.0.0.2,02-4B-56-00-00-02,5\r\n"
              "KV-119-12,19,12,127.0.0.20,02-00-00-00-00-AB,0\r\n");
    EXPECT_EQ(deviceList({}, 2), "2\r\n");
}

TEST(FaultRules, ParseTargetsKindsAndOptions) {
    FaultRule r = parseFaultRule("127.0.0.3=delay:2000");
    EXPECT_EQ(r.target.type, FaultTarget::Type::Address);
    EXPECT_EQ(r.target.address, 0x7F000003u);
    EXPECT_EQ(r.kind, FaultKind::Delay);
    EXPECT_EQ(r.arg, 2000u);
    EXPECT_EQ(r.probability, 1.0);

    r = parseFaultRule("KV-103:1=status:7@0.25,after=3,times=2,cmd=0x11");
    EXPECT_EQ(r.target.type, FaultTarget::Type::Unit);
    EXPECT_EQ(r.target.model, 3);
    EXPECT_EQ(r.target.unitId, 1);
    EXPECT_EQ(r.kind, FaultKind::Status);
    EXPECT_EQ(r.arg, 7u);
    EXPECT_EQ(r.probability, 0.25);
    EXPECT_EQ(r.after, 3u);
    EXPECT_EQ(r.times, 2u);
    EXPECT_EQ(r.command, CMD_READ);

    EXPECT_EQ(parseFaultRule("*=status").arg, 1u);
    EXPECT_EQ(parseFaultRule("all=seq").kind, FaultKind::Sequence);
    EXPECT_EQ(parseFaultRule("*=restart").arg, 0u);
    EXPECT_EQ(parseFaultRule("*=restart:500").arg, 500u);
    EXPECT_EQ(parseFaultRule("*=close@0").probability, 0.0);

    const Identity unit{findModel("KV-103"), 1, 0, 0x7F000003, {}};
    EXPECT_TRUE(parseFaultRule("KV-103:1=drop").target.matches(unit));
    EXPECT_TRUE(parseFaultRule("3:1=drop").target.matches(unit));
    EXPECT_FALSE(parseFaultRule("KV-103:2=drop").target.matches(unit));
    EXPECT_TRUE(parseFaultRule("127.0.0.3=drop").target.matches(unit));
    EXPECT_FALSE(parseFaultRule("127.0.0.4=drop").target.matches(unit));

    for (const char* bad : {"drop", "*=explode", "*=delay", "*=drop:5", "*=status:0", "*=drop@1.5",
                            "*=drop@x", "*=drop,every=2", "KV-999:1=drop", "127.0.0=drop"}) {
        EXPECT_THROW(parseFaultRule(bad), std::invalid_argument) << bad;
    }
    EXPECT_EQ(parseFaultKinds("drop,seq").size(), 2u);
    EXPECT_THROW(parseFaultKinds("drop,oops"), std::invalid_argument);
}

TEST(FaultRules, DecisionCountsFiltersAndCombines) {
    Rng rng(1);
    const RandomFaults none;
    std::vector<FaultState> rules{
        {parseFaultRule("*=drop,after=1,times=2")},
        {parseFaultRule("*=delay:100,cmd=0x21")},
        {parseFaultRule("*=delay:50,cmd=0x21")},
        {parseFaultRule("*=seq,cmd=0x21")},
    };
    // Exchange 1: the drop waits its turn; 2 and 3: dropped; 4: spent.
    EXPECT_FALSE(decideFaults(rules, none, CMD_READ, rng).any());
    EXPECT_EQ(decideFaults(rules, none, CMD_READ, rng).outcome, FaultKind::Drop);
    // A write: the drop fires again and wins over seq; the delays add up.
    FaultPlan p = decideFaults(rules, none, CMD_WRITE, rng);
    EXPECT_EQ(p.outcome, FaultKind::Drop);
    EXPECT_EQ(p.delayMs, 150u);
    p = decideFaults(rules, none, CMD_WRITE, rng);
    EXPECT_EQ(p.outcome, FaultKind::Sequence);
    EXPECT_FALSE(decideFaults(rules, none, CMD_READ, rng).any());
    EXPECT_EQ(rules[0].seen, 5u);
    EXPECT_EQ(rules[0].fired, 2u);
    EXPECT_EQ(rules[1].seen, 2u);

    // Probability: 0 never fires, and about a quarter of 4000 at 0.25.
    std::vector<FaultState> never{{parseFaultRule("*=close@0")}};
    std::vector<FaultState> some{{parseFaultRule("*=close@0.25")}};
    int fired = 0;
    for (int i = 0; i < 4000; ++i) {
        EXPECT_FALSE(decideFaults(never, none, CMD_READ, rng).any());
        fired += decideFaults(some, none, CMD_READ, rng).any() ? 1 : 0;
    }
    EXPECT_GT(fired, 850);
    EXPECT_LT(fired, 1150);

    // Random faults pick only from their kinds, with arguments in range.
    const RandomFaults random{1.0, {FaultKind::Delay, FaultKind::Status}, 30};
    std::vector<FaultState> empty;
    for (int i = 0; i < 200; ++i) {
        p = decideFaults(empty, random, CMD_READ, rng);
        if (p.outcome) {
            EXPECT_EQ(*p.outcome, FaultKind::Status);
            EXPECT_GE(p.arg, 1u);
            EXPECT_LE(p.arg, 255u);
        } else {
            EXPECT_GE(p.delayMs, 1u);
            EXPECT_LE(p.delayMs, 30u);
        }
    }
}

// Runs kelvo-sim with `args` (for at most 20 s): its exit status and what it
// wrote to stderr.
std::pair<int, std::string> runSim(const std::string& args) {
    const std::string command = "timeout 20 " KELVO_SIM_PROGRAM " " + args + " 2>&1 >/dev/null";
    std::FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) return {-1, "popen failed"};
    std::string out;
    char buffer[256];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) {
        out.append(buffer, n);
    }
    const int status = ::pclose(pipe);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out};
}

// A config file is read only if it is a regular file of at most 1 MiB:
// /dev/zero or a FIFO used to make the program grow without end, or hang.
// --version ends the program once the options are read: nothing is bound.
TEST(ConfigFile, OnlyARegularFileUpToOneMebibyteIsRead) {
    char dir[] = "/tmp/kelvo-sim-config-XXXXXX";
    ASSERT_NE(::mkdtemp(dir), nullptr);
    const std::string fifo = std::string(dir) + "/fifo";
    const std::string big = std::string(dir) + "/big.conf";
    const std::string good = std::string(dir) + "/good.conf";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    std::ofstream(big) << std::string(1024 * 1024, '#') << "\n";
    std::ofstream(good) << "# fine\nmem-size = 65536\nno-discovery = true\n";

    for (const std::string& path : {std::string("/dev/zero"), fifo}) {
        const auto [status, message] = runSim("--config " + path + " --version");
        EXPECT_EQ(status, 2) << path;
        EXPECT_EQ(message, "kelvo-sim: config file " + path + ": not a regular file\n");
    }
    const auto [status, message] = runSim("--config " + big + " --version");
    EXPECT_EQ(status, 2);
    EXPECT_EQ(message, "kelvo-sim: config file " + big +
                           ": larger than 1048576 bytes (the limit of a config file)\n");
    EXPECT_EQ(runSim("--config " + good + " --version").first, 0);

    for (const std::string& path : {fifo, big, good}) ::unlink(path.c_str());
    ::rmdir(dir);
}

}  // namespace
}  // namespace sim
