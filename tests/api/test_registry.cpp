// The registry's handle check, seen through the exports: only handles that
// the library handed out and still holds are accepted, nothing is touched
// for any other, and Kelvo_Initial ends every earlier handle.
// Addresses 127.0.0.2 to 127.0.0.9.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "kelvo.h"
#include "support/device_list.h"
#include "support/fake_unit.h"
#include "support/helpers.h"
#include "support/library.h"

namespace kelvotest {
namespace {

TEST(Registry, ExportsEveryFunctionByName) {
    const Library& l = lib();  // throws, naming what is missing
    int found = 0;
#define KELVOTEST_COUNT(name) found += l.name != nullptr;
    KELVOTEST_EXPORTS(KELVOTEST_COUNT)
#undef KELVOTEST_COUNT
    EXPECT_EQ(found, EXPORT_COUNT);
}

TEST(Registry, RefusesHandlesItDidNotHandOut) {
    SoleUnit u(2);
    ASSERT_NE(u.handle, nullptr);
    ASSERT_TRUE(u.fake.waitForAccepted(1, 2000));

    // A null handle, an object that is no unit, an address inside the real
    // record and one that cannot be read at all: none may be looked into.
    const KELVO_HANDLE strangers[] = {nullptr, strangeHandle(),
                                      static_cast<std::uint8_t*>(u.handle) + 1,
                                      reinterpret_cast<KELVO_HANDLE>(std::uintptr_t{0x10})};
    for (KELVO_HANDLE h : strangers) {
        SCOPED_TRACE(testing::Message() << "handle " << h);
        std::uint8_t d = 0xEE;
        EXPECT_EQ(lib().ReadDIO(h, 0, &d), KELVO_STATUS_NOT_OPEN);
        EXPECT_EQ(d, 0);
        EXPECT_EQ(lib().WriteDIO(h, 0, 1, 1), KELVO_STATUS_NOT_OPEN);
        EXPECT_EQ(lib().Close(h), 0);
        std::uint8_t frame[16] = {0x11, 0x00, 0x00, 0xFF, 0x08};
        EXPECT_EQ(lib().Access(h, 8, frame), 0);
        EXPECT_EQ(frame[0], 0x11);
    }

    // The real unit saw nothing of it: its first request carries sequence
    // 0 on the first connection.
    std::uint8_t d = 0;
    u.fake.enqueue(Reply{readReply(0, 0x42)});
    ASSERT_EQ(lib().ReadDIO(u.handle, 0, &d), KELVO_STATUS_OK);
    EXPECT_EQ(d, 0x42);
    ASSERT_EQ(u.fake.requests().size(), 1u);
    EXPECT_EQ(hex(u.fake.requests()[0]), hex(readRequest(0)));
    EXPECT_EQ(u.fake.connectionsAccepted(), 1);
}

TEST(Registry, SecondInitialEndsEveryHandle) {
    FakeUnit a(testAddress(3), 3, 1), b(testAddress(4), 5, 2);
    writeDeviceList(listText({deviceLine(testAddress(3), 3, 1), deviceLine(testAddress(4), 5, 2)}));
    ASSERT_EQ(lib().Initial(), 2);
    const KELVO_HANDLE ha = lib().Open(3, 1), hb = lib().Open(5, 2);
    ASSERT_NE(ha, nullptr);
    ASSERT_NE(hb, nullptr);
    EXPECT_NE(ha, hb);
    std::uint8_t d = 0;
    ASSERT_EQ(lib().ReadDIO(ha, 0, &d), KELVO_STATUS_OK);
    ASSERT_TRUE(a.waitForOpenConnections(1, 2000));
    ASSERT_TRUE(b.waitForOpenConnections(1, 2000));

    // The next reading lists no unit: both handles must now be refused.
    ASSERT_EQ(forgetAllUnits(), 0);
    EXPECT_EQ(lib().BrowseDevice(nullptr), 0);
    d = 0xEE;
    EXPECT_EQ(lib().ReadDIO(ha, 0, &d), KELVO_STATUS_NOT_OPEN);
    EXPECT_EQ(d, 0);
    EXPECT_EQ(lib().WriteDIO(hb, 0, 1, 1), KELVO_STATUS_NOT_OPEN);
    EXPECT_EQ(lib().Close(ha), 0);
    EXPECT_EQ(lib().Close(hb), 0);
    std::uint8_t frame[8] = {0x11};
    EXPECT_EQ(lib().Access(hb, 8, frame), 0);

    // Kelvo_Initial closed both connections, and nothing more was sent.
    EXPECT_TRUE(a.waitForOpenConnections(0, 2000));
    EXPECT_TRUE(b.waitForOpenConnections(0, 2000));
    EXPECT_EQ(a.requests().size(), 1u);
    EXPECT_EQ(b.requests().size(), 0u);
    EXPECT_EQ(a.connectionsAccepted() + b.connectionsAccepted(), 2);
}

// Rereading the same list makes new records of the same size right after the
// old ones were released, which is where a heap hands back the old
// addresses: an old handle must still reach nothing, in any generation.
TEST(Registry, HandlesOfEveryEarlierInitialStayRefused) {
    FakeUnit a(testAddress(5), 3, 1), b(testAddress(6), 5, 2);
    writeDeviceList(listText({deviceLine(testAddress(5), 3, 1), deviceLine(testAddress(6), 5, 2)}));
    std::vector<KELVO_HANDLE> old;
    for (int round = 0; round < 4; ++round) {
        SCOPED_TRACE(testing::Message() << "round " << round);
        ASSERT_EQ(lib().Initial(), 2);
        for (KELVO_HANDLE h : old) {
            std::uint8_t d = 0xEE;
            EXPECT_EQ(lib().ReadDIO(h, 0, &d), KELVO_STATUS_NOT_OPEN);
            EXPECT_EQ(d, 0);
            EXPECT_EQ(lib().Close(h), 0);
        }
        const KELVO_HANDLE ha = lib().Open(3, 1), hb = lib().Open(5, 2);
        ASSERT_NE(ha, nullptr);
        ASSERT_NE(hb, nullptr);
        for (KELVO_HANDLE h : old) {
            EXPECT_NE(h, ha);
            EXPECT_NE(h, hb);
            EXPECT_EQ(lib().WriteDIO(h, 0, 1, 1), KELVO_STATUS_NOT_OPEN);
        }
        old.push_back(ha);
        old.push_back(hb);
    }
    // In a 64-bit process handles use the whole pointer: a handle kept in 32
    // bits anywhere between caller and unit would have failed above. Its
    // low half alone is no handle either.
    if (sizeof(KELVO_HANDLE) == 8) {
        int wide = 0;
        for (KELVO_HANDLE h : old) {
            const std::uint64_t value = reinterpret_cast<std::uintptr_t>(h);
            wide += (value >> 32) != 0;
        }
        EXPECT_GE(wide, 6);
        const auto low = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(old.back()));
        EXPECT_EQ(lib().Close(reinterpret_cast<KELVO_HANDLE>(std::uintptr_t{low})), 0);
    }
    // Only the current handles' units were ever asked anything: one
    // connection each per round, and no request at all.
    EXPECT_TRUE(a.waitForAccepted(4, 2000));
    EXPECT_TRUE(b.waitForAccepted(4, 2000));
    EXPECT_EQ(a.connectionsAccepted() + b.connectionsAccepted(), 8);
    EXPECT_TRUE(a.requests().empty());
    EXPECT_TRUE(b.requests().empty());
    EXPECT_EQ(forgetAllUnits(), 0);
}

}  // namespace
}  // namespace kelvotest
