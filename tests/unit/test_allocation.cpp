// Memory exhaustion: an interposed operator new (the no-throw forms, the only
// ones the library uses) fails the n-th allocation. Every path that
// allocates returns its documented failure and leaks nothing.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>

#include "discovery/discover.h"
#include "io/channel_io.h"

namespace {

// Allocations the library made and has not released yet.
std::array<void*, 1024> live{};
int failAt = 0;  // 0: never; else the failAt-th allocation from now fails
int made = 0;

void* Allocate(std::size_t size) {
    if (failAt != 0 && ++made == failAt) return nullptr;
    void* p = std::malloc(size ? size : 1);
    for (void*& slot : live) {
        if (!slot) {
            slot = p;
            break;
        }
    }
    return p;
}

void Release(void* p) {
    for (void*& slot : live) {
        if (slot && slot == p) slot = nullptr;
    }
    std::free(p);
}

int Live() {
    int n = 0;
    for (void* p : live) n += p != nullptr;
    return n;
}

void FailFrom(int n) {
    failAt = n;
    made = 0;
}

}  // namespace

void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    return Allocate(size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    return Allocate(size);
}
// The other forms too, so that every allocation of the program comes from
// malloc and every release goes to free (as a sanitizer expects).
void* operator new(std::size_t size) {
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) {
    return operator new(size);
}
void operator delete(void* p) noexcept {
    Release(p);
}
void operator delete(void* p, std::size_t) noexcept {
    Release(p);
}
void operator delete[](void* p) noexcept {
    Release(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    Release(p);
}

namespace {

using namespace kelvo;

// The network: every socket call fails, and each exchange is counted.
int exchanges = 0;
platform::Socket Open() {
    return platform::NO_SOCKET;
}
bool No(platform::Socket) {
    return false;
}
int NoConnect(platform::Socket, std::uint32_t, std::uint16_t) {
    return platform::CONNECT_FAILED;
}
int NoWaitAny(const platform::Socket*, const std::uint8_t*, std::uint8_t*, int, std::int32_t) {
    return -1;
}
int NoSend(platform::Socket, const std::uint8_t*, int) {
    return -1;
}
int NoSendTo(platform::Socket, const std::uint8_t*, int, std::uint32_t, std::uint16_t) {
    return -1;
}
int NoWait(platform::Socket, std::int32_t) {
    return 0;
}
int NoRecv(platform::Socket, std::uint8_t*, int) {
    return -1;
}
int NoRecvFrom(platform::Socket, std::uint8_t*, int, std::uint32_t*) {
    return -1;
}
int NoClose(platform::Socket) {
    return -1;
}
int CountExchange(platform::Socket, std::uint8_t*, int, int, int, std::int32_t) {
    ++exchanges;
    return platform::ROUND_TRIP_SEND_FAILED;
}
const platform::SocketOps OFFLINE{Open,       Open,     No,           NoConnect, No,
                                  NoSend,     NoSendTo, NoWait,       NoWaitAny, NoRecv,
                                  NoRecvFrom, NoClose,  CountExchange};

class Allocation : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/kelvo-alloc.XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir_ = pattern;
        ::setenv("WINDIR", pattern, 1);
        platform::setSocketOps(&OFFLINE);
        onLibraryLoad();
    }
    void TearDown() override {
        FailFrom(0);
        onLibraryUnload();
        platform::setSocketOps(nullptr);
        std::remove((dir_ + "/Kelvo.ini").c_str());
        ::rmdir(dir_.c_str());
    }
    // Three units in a file-only device list: Kelvo_Initial reads it and
    // sends nothing.
    void ListThreeUnits() {
        std::FILE* f = std::fopen((dir_ + "/Kelvo.ini").c_str(), "wb");
        ASSERT_NE(f, nullptr);
        std::fputs("1\r\na,9,1,127.0.0.2,,0\r\nb,9,2,127.0.0.3,,0\r\nc,9,3,127.0.0.4,,0\r\n", f);
        std::fclose(f);
    }
    std::string dir_;
};

// Reading the file takes two blocks (its path and its text), then one record
// per unit. Whichever fails, the units made so far are the list, and
// nothing else stays allocated.
TEST_F(Allocation, InitialKeepsWhatItCouldMakeAndLeaksNothing) {
    ListThreeUnits();
    ASSERT_EQ(Initial(), 3);
    const int base = Live() - 3;  // the registry itself
    for (int n = 1; n <= 6; ++n) {
        SCOPED_TRACE("allocation " + std::to_string(n) + " fails");
        FailFrom(n);
        const std::int32_t found = Initial();
        FailFrom(0);
        // A unit whose record cannot be had is left out; the others stay.
        const std::int32_t expected = n <= 2 ? 0 : (n <= 5 ? 2 : 3);
        EXPECT_EQ(found, expected);
        EXPECT_EQ(Registry()->Count(), found);
        EXPECT_EQ(Live(), base + found);
    }
}

// The multi-channel analog calls take one 240-byte block: without it they
// report STATUS_NO_MEMORY, clear the caller's values and send nothing.
TEST_F(Allocation, MultiChannelCallsReportNoMemoryAndSendNothing) {
    ListThreeUnits();
    ASSERT_EQ(Initial(), 3);
    DeviceEntry* unit = Registry()->First();
    const int before = Live();
    const std::uint8_t channels[2] = {0, 3};
    std::int32_t values[2] = {7, 7};
    exchanges = 0;
    FailFrom(1);
    EXPECT_EQ(MultiReadAIO(unit, 2, channels, values), STATUS_NO_MEMORY);
    EXPECT_EQ(values[0], 0);
    EXPECT_EQ(values[1], 0);
    FailFrom(1);
    EXPECT_EQ(MultiWriteAIO(unit, 2, channels, values), STATUS_NO_MEMORY);
    EXPECT_EQ(exchanges, 0);
    FailFrom(0);
    // With memory, each makes its exchange (which fails here) and frees its block.
    EXPECT_EQ(MultiReadAIO(unit, 2, channels, values), STATUS_COMM_ERROR);
    EXPECT_EQ(MultiWriteAIO(unit, 2, channels, values), STATUS_COMM_ERROR);
    EXPECT_EQ(exchanges, 2);
    EXPECT_EQ(Live(), before);
}

// No memory for the registry at load: every call reports its failure value.
TEST_F(Allocation, NoRegistryAtLoadFailsEveryCall) {
    onLibraryUnload();
    FailFrom(1);
    onLibraryLoad();
    FailFrom(0);
    ASSERT_EQ(Registry(), nullptr);
    ListThreeUnits();
    EXPECT_EQ(Initial(), 0);
    std::uint8_t d = 7;
    EXPECT_EQ(ReadDIO(UnitCall(reinterpret_cast<void*>(0x9E3779B1u)), 0, &d), STATUS_NOT_OPEN);
    EXPECT_EQ(d, 0);
    EXPECT_EQ(Live(), 0);
}

}  // namespace
