// Loading, using and unloading the library many times in one process, and
// from several threads at once. Each unload releases what the load and its
// calls started (connections, the socket layer); a library still loaded when
// the process ends is left alone.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "support/device_list.h"
#include "support/fake_unit.h"
#include "support/helpers.h"
#include "support/library.h"

namespace kelvotest {
namespace {

template <class F>
F Find(void* library, const char* name) {
    return reinterpret_cast<F>(findExport(library, name));
}

// Loads the library, finds the unit, reads port 0 and unloads it again with
// the connection open (or closed first). Returns the read's status, or
// 0xFFFF when a step before it failed.
std::uint16_t Round(bool closeFirst, std::uint8_t* value) {
    void* library = loadLibrary();
    if (!library) return 0xFFFF;
    const auto initial = Find<decltype(&::Kelvo_Initial)>(library, "Kelvo_Initial");
    const auto open = Find<decltype(&::Kelvo_Open)>(library, "Kelvo_Open");
    const auto readDIO = Find<decltype(&::Kelvo_ReadDIO)>(library, "Kelvo_ReadDIO");
    const auto close = Find<decltype(&::Kelvo_Close)>(library, "Kelvo_Close");
    std::uint16_t status = 0xFFFF;
    if (initial && open && readDIO && close && initial() == 1) {
        if (KELVO_HANDLE h = open(3, 1)) {
            status = readDIO(h, 0, value);
            if (closeFirst) close(h);
        }
    }
    unloadLibrary(library);
    return status;
}

TEST(LoadUnload, ManyTimesInOneProcessAndFromSeveralThreads) {
    FakeUnit unit(testAddress(90), 3, 1);
    unit.setData({0x5A});
    writeDeviceList(listText({deviceLine(testAddress(90), 3, 1)}));

    constexpr int ROUNDS = 30;
    for (int i = 0; i < ROUNDS; ++i) {
        std::uint8_t d = 0;
        ASSERT_EQ(Round(i % 2 == 0, &d), KELVO_STATUS_OK) << "round " << i;
        EXPECT_EQ(d, 0x5A);
    }
    // Every unload closed the connection its round left open.
    EXPECT_EQ(unit.connectionsAccepted(), ROUNDS);
    EXPECT_TRUE(unit.waitForOpenConnections(0, 2000));

    // Several threads load, use and unload at once. They share one loaded
    // library, so one thread's Kelvo_Initial may make another's handle stale,
    // and two threads may open the same unit, where one's Kelvo_Close takes
    // the other's connection (its next read fails and reconnects).
    std::atomic<int> ok{0}, stale{0}, failed{0}, lastFailure{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 8; ++i) {
                std::uint8_t d = 0;
                const std::uint16_t s = Round((t + i) % 2 == 0, &d);
                if (s == KELVO_STATUS_OK && d == 0x5A) {
                    ++ok;
                } else if (s == KELVO_STATUS_NOT_OPEN || s == KELVO_STATUS_COMM_ERROR) {
                    ++stale;
                } else {
                    ++failed;
                    lastFailure = s;
                }
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(failed, 0) << "last failure: status " << lastFailure;
    EXPECT_GT(ok, 0);
    EXPECT_TRUE(unit.waitForOpenConnections(0, 2000));

    // Loaded, connected and never unloaded: the process ends with the library
    // in place, which must neither hang nor fail.
    void* kept = loadLibrary();
    ASSERT_NE(kept, nullptr);
    ASSERT_EQ(Find<decltype(&::Kelvo_Initial)>(kept, "Kelvo_Initial")(), 1);
    EXPECT_NE(Find<decltype(&::Kelvo_Open)>(kept, "Kelvo_Open")(3, 1), nullptr);
    removeDeviceList();
}

}  // namespace
}  // namespace kelvotest
