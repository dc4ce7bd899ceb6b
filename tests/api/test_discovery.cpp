// Kelvo_Initial: the broadcast query, its answers, identification over TCP
// and which entries stay. Every test here can broadcast and runs only in a
// private network namespace. Addresses 127.0.0.60 to 127.0.0.79.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "kelvo.h"
#include "support/device_list.h"
#include "support/fake_unit.h"
#include "support/helpers.h"
#include "support/library.h"
#include "support/netcheck.h"

namespace kelvotest {
namespace {

using Clock = std::chrono::steady_clock;

const Bytes QUERY = {0x00, 0x00, 0x00, 0xF6};
const Bytes IDENTIFY = {0x12, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};

long long msSince(Clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
}

// The first five bytes of a summary record: model, unit ID, aux, total, bits.
Bytes head(const Bytes& record) {
    return Bytes(record.begin(), record.begin() + 5);
}

TEST(Discovery, FileOnlyModeSendsAndConnectsNothing) {
    KELVO_REQUIRE_PRIVATE_NETWORK();
    DiscoveryAnswerer answerer;
    FakeUnit unit(testAddress(60), 9, 4, 4);  // would say something else
    answerer.add(testAddress(61), discoveryAnswer({2, 0, 0, 0, 0, 0x61}));
    writeDeviceList(
        listText({deviceLine(testAddress(60), 3, 1, 2), deviceLine(testAddress(62), 12, 2, 0)}));

    const auto t0 = Clock::now();
    EXPECT_EQ(lib().Initial(), 2);
    EXPECT_LT(msSince(t0), 1000);
    const auto records = browseAll();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(hex(head(records[0])), hex(Bytes{3, 1, 2, 2, 8}));
    EXPECT_EQ(hex(head(records[1])), hex(Bytes{12, 2, 0, 8, 8}));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(answerer.queriesReceived(), 0);
    EXPECT_EQ(unit.connectionsAccepted(), 0);
}

TEST(Discovery, NobodyAnswering) {
    KELVO_REQUIRE_PRIVATE_NETWORK();
    DiscoveryAnswerer answerer;
    removeDeviceList();

    const auto t0 = Clock::now();
    EXPECT_EQ(lib().Initial(), 0);
    const long long took = msSince(t0);
    std::printf("[          ] Kelvo_Initial with no answers took %lld ms\n", took);
    EXPECT_GE(took, 1300);
    EXPECT_LE(took, 4000);
    EXPECT_EQ(lib().BrowseDevice(nullptr), 0);
    ASSERT_EQ(answerer.queriesReceived(), 1);
    EXPECT_EQ(hex(answerer.queries()[0]), hex(QUERY));

    // Mode 0: broadcast only, the lines after the mode line are not read.
    FakeUnit listed(testAddress(63), 3, 1);
    writeDeviceList(listText({deviceLine(testAddress(63), 3, 1)}, "0"));
    EXPECT_EQ(lib().Initial(), 0);
    EXPECT_EQ(answerer.queriesReceived(), 2);
    EXPECT_EQ(listed.connectionsAccepted(), 0);
}

TEST(Discovery, EveryAnswerIsAnEntryAndOnlyIdentifiedOnesStay) {
    KELVO_REQUIRE_PRIVATE_NETWORK();
    FakeUnit twice(testAddress(64), 3, 1, 5), shortAnswer(testAddress(65), 9, 2, 6),
        unnamed(testAddress(66), 0xFF, 0xFF, 0xFF), tooLong(testAddress(68), 12, 3);
    DiscoveryAnswerer answerer;
    answerer.add(testAddress(64), discoveryAnswer({2, 0, 0, 0, 0, 0x64}), 2);
    answerer.add(testAddress(65), discoveryAnswer({2, 0, 0, 0, 0, 0x65}, 10));
    answerer.add(testAddress(67), discoveryAnswer({2, 0, 0, 0, 0, 0x67}));  // no TCP service
    answerer.add(testAddress(66), discoveryAnswer({2, 0, 0, 0, 0, 0x66}));
    answerer.add(testAddress(68), Bytes(65, 0x01));  // does not fit 64 bytes: skipped
    removeDeviceList();

    EXPECT_EQ(lib().Initial(), 3);
    const auto records = browseAll();
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(hex(head(records[0])), hex(Bytes{3, 1, 5, 2, 8}));
    EXPECT_EQ(hex(head(records[1])), hex(Bytes{3, 1, 5, 2, 8}));
    EXPECT_EQ(hex(head(records[2])), hex(Bytes{9, 2, 6, 16, 16}));

    // One probe connection per entry, each asking exactly 12 00 00 00 00
    // 00 00 00, and each closed again.
    EXPECT_EQ(twice.connectionsAccepted(), 2);
    EXPECT_EQ(shortAnswer.connectionsAccepted(), 1);
    EXPECT_EQ(unnamed.connectionsAccepted(), 1);
    EXPECT_EQ(tooLong.connectionsAccepted(), 0);
    for (const FakeUnit* u : {&twice, &shortAnswer, &unnamed}) {
        SCOPED_TRACE(u->address());
        for (const Bytes& r : u->requests()) EXPECT_EQ(hex(r), hex(IDENTIFY));
        EXPECT_TRUE(u->waitForOpenConnections(0, 2000));
    }
    EXPECT_EQ(twice.requests().size(), 2u);

    // Identification left the entries' own sequence counters at 0.
    const KELVO_HANDLE h = lib().Open(3, 1);
    ASSERT_NE(h, nullptr);
    std::uint8_t d = 0;
    EXPECT_EQ(lib().ReadDIO(h, 0, &d), KELVO_STATUS_OK);
    ASSERT_TRUE(twice.waitForRequests(3, 2000));
    EXPECT_EQ(hex(twice.requests()[2]), hex(readRequest(0)));
}

// A host that keeps answering: collecting ends after 4096 answers, or 15 s
// after the query, whichever comes first; every answer still restarts the
// 1.5 s wait until then.
TEST(Discovery, FloodingAnswererIsCutOffByCountAndTime) {
    KELVO_REQUIRE_PRIVATE_NETWORK();
    removeDeviceList();
    FakeUnit unit(testAddress(69), 3, 1);  // identifies every entry it caused
    {
        DiscoveryAnswerer answerer;
        answerer.add(testAddress(69), discoveryAnswer({2, 0, 0, 0, 0, 0x69}));
        answerer.flood(100, 1);
        const auto t0 = Clock::now();
        EXPECT_EQ(lib().Initial(), 4096);
        std::printf("[          ] 4096 flooded answers collected in %lld ms\n", msSince(t0));
    }
    DiscoveryAnswerer answerer;
    answerer.add(testAddress(69), discoveryAnswer({2, 0, 0, 0, 0, 0x69}));
    answerer.flood(1, 1000);  // one answer a second, well within every 1.5 s wait
    const auto t0 = Clock::now();
    const int found = lib().Initial();
    const long long took = msSince(t0);
    std::printf("[          ] a slow flood: %d answers, %lld ms\n", found, took);
    EXPECT_GE(found, 10);
    EXPECT_LE(found, 17);
    EXPECT_GE(took, 14900);
    EXPECT_LE(took, 20000);
    forgetAllUnits();
}

TEST(Discovery, FileEntriesAreIdentifiedTooAndKeepTheirValuesWithoutAnAnswer) {
    KELVO_REQUIRE_PRIVATE_NETWORK();
    // .70 says 9/7/1 where the file says 3/1/0; nobody listens at .71;
    // .72 never answers; .73 answers with status 1; .74 identifies as
    // FF FF FF; .75 is listed and also answers the query.
    FakeUnit renamed(testAddress(70), 9, 7, 1), silent(testAddress(72), 0, 0),
        refusing(testAddress(73), 0, 0), unnamed(testAddress(74), 0xFF, 0xFF, 0xFF),
        both(testAddress(75), 12, 1, 0), headerOnly(testAddress(76), 4, 4, 4);
    // .76 answers with a valid header and no data: no identity.
    headerOnly.setResponder(
        [](const Bytes& request) { return Reply{FakeUnit::validReply(request, 8)}; });
    silent.setResponder([](const Bytes&) { return Reply{{}, 0, true}; });
    refusing.setResponder([](const Bytes& request) {
        Bytes r = FakeUnit::validReply(request);
        r[1] = 1;
        r[16] = r[17] = r[18] = 0;
        return Reply{r};
    });
    DiscoveryAnswerer answerer;
    answerer.add(testAddress(75), discoveryAnswer({2, 0, 0, 0, 0, 0x75}));
    writeDeviceList(
        listText({deviceLine(testAddress(70), 3, 1, 0), deviceLine(testAddress(71), 5, 2, 0),
                  deviceLine(testAddress(72), 6, 3, 0), deviceLine(testAddress(73), 7, 4, 0),
                  deviceLine(testAddress(74), 8, 5, 0), deviceLine(testAddress(75), 12, 1, 0),
                  deviceLine(testAddress(76), 10, 6, 0)},
                 "2"));

    EXPECT_EQ(lib().Initial(), 7);
    EXPECT_EQ(answerer.queriesReceived(), 1);
    const auto records = browseAll();
    ASSERT_EQ(records.size(), 7u);
    // File entries first, in file order, then the discovered one.
    EXPECT_EQ(hex(head(records[0])), hex(Bytes{9, 7, 1, 16, 16}));
    EXPECT_EQ(hex(head(records[1])), hex(Bytes{5, 2, 0, 2, 8}));
    EXPECT_EQ(hex(head(records[2])), hex(Bytes{6, 3, 0, 2, 8}));
    EXPECT_EQ(hex(head(records[3])), hex(Bytes{7, 4, 0, 2, 8}));
    EXPECT_EQ(hex(head(records[4])), hex(Bytes{12, 1, 0, 8, 8}));
    EXPECT_EQ(hex(head(records[5])), hex(Bytes{10, 6, 0, 4, 12}));
    EXPECT_EQ(hex(head(records[6])), hex(Bytes{12, 1, 0, 8, 8}));
    EXPECT_EQ(both.connectionsAccepted(), 2);
    for (const FakeUnit* u : {&renamed, &silent, &refusing, &unnamed, &headerOnly}) {
        SCOPED_TRACE(u->address());
        EXPECT_EQ(u->connectionsAccepted(), 1);
        EXPECT_TRUE(u->waitForOpenConnections(0, 2000));
    }
}

// Listed units that never answer a connect (10.77.0.x: inside the namespace
// the default route leads into lo, where nobody holds those addresses) are
// waited for together, one connect limit for all of them; list order and
// result stay as they were.
TEST(Discovery, SilentAddressesAreWaitedForTogether) {
    KELVO_REQUIRE_PRIVATE_NETWORK();
    FakeUnit unit(testAddress(77), 3, 1);
    std::string text = "2\r\n";
    for (int i = 1; i <= 10; ++i)
        text += deviceLine("10.77.0." + std::to_string(i), 255, 255, 255) + "\r\n";
    text += deviceLine(testAddress(77), 3, 1) + "\r\n";
    writeDeviceList(text);
    const std::string path = inWindowsDirectory("kelvo-silent.log");
    std::remove(path.c_str());
    setEnvironment("KELVO_TRACE", path);

    const auto t0 = Clock::now();
    EXPECT_EQ(lib().Initial(), 1);
    const long long took = msSince(t0);
    setEnvironment("KELVO_TRACE", "");
    std::printf("[          ] Kelvo_Initial with ten silent units took %lld ms\n", took);
    EXPECT_LE(took, 6000);  // the discovery wait, then about one connect limit
    const auto records = browseAll();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(hex(head(records[0])), hex(Bytes{3, 1, 0, 2, 8}));
    forgetAllUnits();

    std::ifstream in(path);
    std::stringstream trace;
    trace << in.rdbuf();
    in.close();
    std::remove(path.c_str());
    for (int i = 1; i <= 10; ++i) {
        const std::string line =
            "identify 10.77.0." + std::to_string(i) + ": connect timeout after 1000 ms\n";
        EXPECT_NE(trace.str().find(line), std::string::npos) << line << " in\n" << trace.str();
    }
}

}  // namespace
}  // namespace kelvotest
