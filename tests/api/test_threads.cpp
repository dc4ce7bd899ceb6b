// Many threads at once: eight threads on eight units, three threads sharing
// a ninth, and one thread calling Kelvo_Initial meanwhile. Every value read
// is checked against the unit's own state; a call may fail only because
// Kelvo_Initial made its handle stale, and then with its outputs cleared.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "support/device_list.h"
#include "support/fake_unit.h"
#include "support/helpers.h"
#include "support/library.h"

namespace kelvotest {
namespace {

constexpr std::uint8_t MODEL = 8;  // three ports, each readable and writable
constexpr int OWN_UNITS = 8, SHARED_PORTS = 3, FIRST_ADDRESS = 200;

// A unit that keeps its port image: 21 00 s FF ... masks 8..15 values 16..23
// writes the masked bits; 11 00 s FF n reads n image bytes from reply byte 16.
struct ImageUnit {
    explicit ImageUnit(int n, std::uint8_t unitId) : fake(testAddress(n), MODEL, unitId) {
        fake.setResponder([this](const Bytes& request) {
            Bytes reply = FakeUnit::validReply(request);
            std::lock_guard lock(m);
            if (request[0] == 0x21 && request.size() >= 24) {
                for (int p = 0; p < 8; ++p) {
                    image[p] = static_cast<std::uint8_t>((image[p] & ~request[8 + p]) |
                                                         (request[16 + p] & request[8 + p]));
                }
            } else if (request[0] == 0x11) {
                for (int p = 0; p < 8 && p < request[4]; ++p) reply[16 + p] = image[p];
            }
            return Reply{reply};
        });
    }
    std::uint8_t port(int p) {
        std::lock_guard lock(m);
        return image[p];
    }
    std::mutex m;
    std::uint8_t image[8] = {};
    FakeUnit fake;
};

struct Tally {
    std::atomic<int> checked{0}, stale{0};
};

// Writes a new value to its own port and reads it back, `rounds` times;
// reopens the unit whenever Kelvo_Initial made the handle stale.
void Drive(std::uint8_t unitId, int port, int rounds, Tally& tally) {
    const Library& k = lib();
    KELVO_HANDLE h = k.Open(MODEL, unitId);
    std::uint8_t last = 0;  // the value the unit holds on our port
    for (int i = 0; i < rounds; ++i) {
        if (!h) {
            h = k.Open(MODEL, unitId);
            continue;
        }
        const auto value = static_cast<std::uint8_t>(i * 7 + unitId + port);
        std::uint16_t s = k.WriteDIO(h, static_cast<std::uint32_t>(port), value, 0xFF);
        if (s == KELVO_STATUS_OK) last = value;
        std::uint8_t got = 0xEE;
        if (s == KELVO_STATUS_OK) s = k.ReadDIO(h, static_cast<std::uint32_t>(port), &got);
        if (s == KELVO_STATUS_OK) {
            EXPECT_EQ(got, last) << "unit " << int(unitId) << " port " << port;
            ++tally.checked;
        } else {
            ASSERT_EQ(s, KELVO_STATUS_NOT_OPEN) << "unit " << int(unitId) << " port " << port;
            if (got != 0xEE) {
                EXPECT_EQ(got, 0);  // a refused read clears its output
            }
            ++tally.stale;
            h = nullptr;
        }
    }
    // What this thread last wrote is what the unit holds.
    if (h) {
        std::uint8_t got = 0xEE;
        if (k.ReadDIO(h, static_cast<std::uint32_t>(port), &got) == KELVO_STATUS_OK) {
            EXPECT_EQ(got, last);
        }
    }
}

TEST(Threads, ManyUnitsSharedUnitAndInitialMeanwhile) {
    std::vector<std::unique_ptr<ImageUnit>> units;
    std::vector<std::string> lines;
    for (int u = 0; u <= OWN_UNITS; ++u) {
        const auto id = static_cast<std::uint8_t>(u + 1);
        units.push_back(std::make_unique<ImageUnit>(FIRST_ADDRESS + u, id));
        lines.push_back(deviceLine(testAddress(FIRST_ADDRESS + u), MODEL, id));
    }
    // File only: Kelvo_Initial reads the list again and sends nothing.
    writeDeviceList(listText({lines[0], lines[1], lines[2], lines[3], lines[4], lines[5], lines[6],
                              lines[7], lines[8]}));
    ASSERT_EQ(lib().Initial(), OWN_UNITS + 1);

    constexpr int ROUNDS = 150;
    Tally tally;
    std::atomic<bool> done{false};
    std::vector<std::thread> threads;
    for (int u = 0; u < OWN_UNITS; ++u) {
        threads.emplace_back(Drive, static_cast<std::uint8_t>(u + 1), 0, ROUNDS, std::ref(tally));
    }
    for (int p = 0; p < SHARED_PORTS; ++p) {
        threads.emplace_back(Drive, static_cast<std::uint8_t>(OWN_UNITS + 1), p, ROUNDS,
                             std::ref(tally));
    }
    int initials = 0;
    std::thread initial([&] {
        for (int i = 0; i < 8 && !done; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            EXPECT_EQ(lib().Initial(), OWN_UNITS + 1);
            ++initials;
        }
    });
    for (auto& t : threads) t.join();
    done = true;
    initial.join();

    EXPECT_GT(tally.checked, 0);
    // The units hold what the library was last told.
    for (int u = 0; u < OWN_UNITS; ++u) {
        const auto id = static_cast<std::uint8_t>(u + 1);
        std::uint8_t got = 0;
        KELVO_HANDLE h = lib().Open(MODEL, id);
        ASSERT_TRUE(h);
        ASSERT_EQ(lib().ReadDIO(h, 0, &got), KELVO_STATUS_OK);
        EXPECT_EQ(got, units[u]->port(0));
    }
    std::printf("threads: %d values checked, %d calls refused as stale, %d Kelvo_Initial\n",
                tally.checked.load(), tally.stale.load(), initials);
    forgetAllUnits();
}

}  // namespace
}  // namespace kelvotest
