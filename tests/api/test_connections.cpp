// Listing units and opening and closing them. The units come from
// file-only device lists, so Kelvo_Initial makes no network traffic here.
// Addresses 127.0.0.30 to 127.0.0.39.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "kelvo.h"
#include "support/device_list.h"
#include "support/fake_unit.h"
#include "support/helpers.h"
#include "support/library.h"
#include "support/netcheck.h"

namespace kelvotest {
namespace {

// A summary record: the five leading bytes and the name with its zero;
// the rest of the 21 bytes stay as the caller's memory held them.
Bytes record(std::initializer_list<std::uint8_t> head, const char* name, std::uint8_t rest) {
    Bytes r(head);
    for (const char* p = name; *p; ++p) r.push_back(static_cast<std::uint8_t>(*p));
    r.push_back(0);
    r.resize(21, rest);
    return r;
}

TEST(Browse, RecordsFollowEachOtherInListOrder) {
    writeDeviceList(listText({"first,3,7,127.0.0.30,02-00-00-00-00-01,9",
                              "second,9,2,127.0.0.31,02-00-00-00-00-02,0",
                              "third,20,255,127.0.0.32,02-00-00-00-00-03,1"}));
    ASSERT_EQ(lib().Initial(), 3);
    EXPECT_EQ(lib().BrowseDevice(nullptr), 3);

    std::uint8_t area[3 * 21 + 8];
    std::memset(area, 0xCC, sizeof area);
    EXPECT_EQ(lib().BrowseDevice(reinterpret_cast<KelvoDeviceSummary*>(area)), 3);
    const Bytes first = record({3, 7, 9, 2, 8}, "KV-103", 0xCC);  // unit ID before aux
    const Bytes second = record({9, 2, 0, 16, 16}, "KV-109", 0xCC);
    const Bytes third = record({20, 255, 1, 4, 12}, "KV-120", 0xCC);
    EXPECT_EQ(hex(bytesOf(area, 21)), hex(first));
    EXPECT_EQ(hex(bytesOf(area + 21, 21)), hex(second));
    EXPECT_EQ(hex(bytesOf(area + 42, 21)), hex(third));
    EXPECT_EQ(hex(bytesOf(area + 63, 8)), hex(Bytes(8, 0xCC)));

    // By position: signed 16-bit, from 0; out of range writes nothing.
    struct Case {
        std::int32_t index;
        int result;
        const Bytes* expected;
    };
    const Case cases[] = {{0, 1, &first},       {2, 1, &third},       {1, 1, &second},
                          {-1, 0, nullptr},     {3, 0, nullptr},      {0x7FFF, 0, nullptr},
                          {0xFFFF, 0, nullptr}, {0x10001, 1, &second}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "index " << c.index);
        std::uint8_t one[21];
        std::memset(one, 0xCC, sizeof one);
        EXPECT_EQ(lib().BrowseDeviceIndex(c.index, reinterpret_cast<KelvoDeviceSummary*>(one)),
                  c.result);
        EXPECT_EQ(hex(bytesOf(one, 21)), hex(c.expected ? *c.expected : Bytes(21, 0xCC)));
    }
}

TEST(Browse, UnknownModelsHaveNoShapeAndNoName) {
    // 300 is stored as its low byte, 44.
    writeDeviceList(listText(
        {"zero,0,1,127.0.0.33,02-00-00-00-00-01,5", "past,21,2,127.0.0.33,02-00-00-00-00-02,6",
         "big,300,3,127.0.0.33,02-00-00-00-00-03,7", "top,255,4,127.0.0.33,02-00-00-00-00-04,8"}));
    ASSERT_EQ(lib().Initial(), 4);
    std::uint8_t area[4 * 21];
    std::memset(area, 0xCC, sizeof area);
    ASSERT_EQ(lib().BrowseDevice(reinterpret_cast<KelvoDeviceSummary*>(area)), 4);
    const std::uint8_t codes[] = {0, 21, 44, 255};
    for (int i = 0; i < 4; ++i) {
        SCOPED_TRACE(testing::Message() << "model " << int{codes[i]});
        const Bytes expected = record(
            {codes[i], static_cast<std::uint8_t>(i + 1), static_cast<std::uint8_t>(i + 5), 0, 0},
            "", 0xCC);
        EXPECT_EQ(hex(bytesOf(area + 21 * i, 21)), hex(expected));
        std::uint8_t one[21];
        std::memset(one, 0xCC, sizeof one);
        EXPECT_EQ(lib().BrowseDeviceIndex(i, reinterpret_cast<KelvoDeviceSummary*>(one)), 1);
        EXPECT_EQ(hex(bytesOf(one, 21)), hex(expected));
    }
}

TEST(Open, OneConnectionPerUnitAndTheSameHandleThroughout) {
    FakeUnit unit(testAddress(34), 3, 1), zero(testAddress(35), 0, 0);
    writeDeviceList(
        listText({deviceLine(testAddress(34), 3, 1), deviceLine(testAddress(35), 0, 0)}));
    ASSERT_EQ(lib().Initial(), 2);

    const KELVO_HANDLE h = lib().Open(3, 1);
    ASSERT_NE(h, nullptr);
    EXPECT_TRUE(unit.waitForAccepted(1, 2000));
    // Opening again reuses the connection as it is; model and unit ID count
    // by their low 8 bits only.
    EXPECT_EQ(lib().Open(3, 1), h);
    EXPECT_EQ(lib().Open(0x103, 0x101), h);
    EXPECT_EQ(lib().Open(0xFFFFFF03u, 0x7F01), h);
    EXPECT_EQ(lib().OpenByIP("127.0.0.34"), h);
    EXPECT_FALSE(unit.waitForAccepted(2, 200));
    EXPECT_TRUE(unit.requests().empty());

    // Close twice: 1, then 0. Reopening gives the same handle, newly connected.
    EXPECT_EQ(lib().Close(h), 1);
    EXPECT_TRUE(unit.waitForOpenConnections(0, 2000));
    EXPECT_EQ(lib().Close(h), 0);
    EXPECT_EQ(lib().Open(3, 1), h);
    EXPECT_TRUE(unit.waitForAccepted(2, 2000));
    EXPECT_EQ(lib().Close(h), 1);
    EXPECT_EQ(lib().OpenByIP("127.0.0.34"), h);
    EXPECT_TRUE(unit.waitForAccepted(3, 2000));
    EXPECT_TRUE(unit.waitForOpenConnections(1, 2000));

    // 256 is model 0 and unit ID 0.
    const KELVO_HANDLE z = lib().Open(256, 256);
    EXPECT_NE(z, nullptr);
    EXPECT_NE(z, h);
    EXPECT_TRUE(zero.waitForAccepted(1, 2000));
    // No unit has these.
    EXPECT_EQ(lib().Open(3, 2), nullptr);
    EXPECT_EQ(lib().Open(4, 1), nullptr);
    EXPECT_EQ(lib().Open(3, 0x102), nullptr);
    EXPECT_EQ(unit.connectionsAccepted(), 3);
    EXPECT_EQ(zero.connectionsAccepted(), 1);
}

TEST(Open, TheFirstListedMatchIsTheOnlyOneTried) {
    // 127.0.0.36 is listed first but nobody listens there.
    FakeUnit second(testAddress(37), 3, 1);
    writeDeviceList(
        listText({deviceLine(testAddress(36), 3, 1), deviceLine(testAddress(37), 3, 1)}));
    ASSERT_EQ(lib().Initial(), 2);

    EXPECT_EQ(lib().Open(3, 1), nullptr);
    EXPECT_FALSE(second.waitForAccepted(1, 200));
    // By address the second is reachable, yet a match by model and unit ID
    // still goes to the first, and fails.
    const KELVO_HANDLE h = lib().OpenByIP("127.0.0.37");
    ASSERT_NE(h, nullptr);
    EXPECT_TRUE(second.waitForAccepted(1, 2000));
    EXPECT_EQ(lib().Open(3, 1), nullptr);
    EXPECT_EQ(lib().OpenByIP("127.0.0.37"), h);
    EXPECT_EQ(lib().OpenByIP("127.0.0.36"), nullptr);
    EXPECT_EQ(second.connectionsAccepted(), 1);
}

TEST(Open, AnAddressNoUnitHasGivesNullWithoutTraffic) {
    FakeUnit listed(testAddress(38), 3, 1), stranger(testAddress(39), 3, 1);
    writeDeviceList(listText({deviceLine(testAddress(38), 3, 1)}));
    ASSERT_EQ(lib().Initial(), 1);

    // A unit listens at .39, but the list does not know it.
    EXPECT_EQ(lib().OpenByIP("127.0.0.39"), nullptr);
    // Text that is no address matches nothing here.
    EXPECT_EQ(lib().OpenByIP("unit 38"), nullptr);
    EXPECT_EQ(lib().OpenByIP("127.0.0.380"), nullptr);
    EXPECT_EQ(lib().OpenByIP(""), nullptr);
    EXPECT_FALSE(stranger.waitForAccepted(1, 200));
    EXPECT_EQ(listed.connectionsAccepted(), 0);

    EXPECT_NE(lib().OpenByIP("127.0.0.38"), nullptr);
    EXPECT_TRUE(listed.waitForAccepted(1, 2000));
    EXPECT_EQ(stranger.connectionsAccepted(), 0);
}

// A listed address where nothing answers a connect (see
// Discovery.SilentAddressesAreWaitedForTogether): opening gives up after the
// connect limit.
TEST(Open, ASilentAddressGivesNullWithinTheConnectLimit) {
    KELVO_REQUIRE_PRIVATE_NETWORK();
    writeDeviceList(listText({deviceLine("10.77.0.20", 3, 9)}));
    ASSERT_EQ(lib().Initial(), 1);
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(lib().Open(3, 9), nullptr);
    const auto took =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0)
            .count();
    std::printf("[          ] Kelvo_Open on a silent address gave up after %lld ms\n",
                static_cast<long long>(took));
    EXPECT_GE(took, KELVO_CONNECT_TIMEOUT_MS - 100);
    EXPECT_LE(took, KELVO_CONNECT_TIMEOUT_MS + 1500);
}

}  // namespace
}  // namespace kelvotest
