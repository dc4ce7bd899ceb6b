// One request, one reply: which replies count, what a failure costs (the
// connection, replaced at once), the reply wait, a unit that is switched
// off, and the sequence counter. Driven through Kelvo_ReadDIO on a KV-103
// (port 0 readable) and Kelvo_Access. Addresses 127.0.0.10 to 127.0.0.19.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <functional>
#include <sstream>
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

long long msSince(Clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
}

TEST(Exchange, OnlyAnExactEchoWithStatusZeroIsAReply) {
    SoleUnit u(10);
    ASSERT_NE(u.handle, nullptr);
    ASSERT_TRUE(u.fake.waitForAccepted(1, 2000));
    u.fake.setData({0x5A});
    std::uint8_t s = 0;

    // 91 00 s: bytes 3 onwards are not examined.
    Bytes ok = readReply(s, 0x3C);
    ok[3] = 0x77;
    ok[4] = 0x99;
    u.fake.enqueue(Reply{ok});
    std::uint8_t d = 0;
    EXPECT_EQ(lib().ReadDIO(u.handle, 0, &d), KELVO_STATUS_OK);
    EXPECT_EQ(d, 0x3C);
    ++s;

    struct Bad {
        const char* what;
        std::function<void(Bytes&)> spoil;
    };
    const Bad bad[] = {
        {"reply bit missing (11 00 s)", [](Bytes& r) { r[0] = 0x11; }},
        {"another command's reply (92 00 s)", [](Bytes& r) { r[0] = 0x92; }},
        {"status 1 (91 01 s)", [](Bytes& r) { r[1] = 0x01; }},
        {"status 0x80 (91 80 s)", [](Bytes& r) { r[1] = 0x80; }},
        {"sequence one ahead (91 00 s+1)", [](Bytes& r) { ++r[2]; }},
        {"sequence one behind (91 00 s-1)", [](Bytes& r) { --r[2]; }},
    };
    int connections = 1;
    for (const Bad& b : bad) {
        SCOPED_TRACE(b.what);
        Bytes r = readReply(s, 0x3C);
        b.spoil(r);
        u.fake.enqueue(Reply{r});
        d = 0xEE;
        EXPECT_EQ(lib().ReadDIO(u.handle, 0, &d), KELVO_STATUS_COMM_ERROR);
        EXPECT_EQ(d, 0);
        ++s;
        // The failing call replaced the connection before it returned.
        ++connections;
        EXPECT_TRUE(u.fake.waitForAccepted(connections, 2000));
        EXPECT_TRUE(u.fake.waitForOpenConnections(1, 2000));
        // and the next call works on the new one.
        d = 0;
        EXPECT_EQ(lib().ReadDIO(u.handle, 0, &d), KELVO_STATUS_OK);
        EXPECT_EQ(d, 0x5A);
        ++s;
    }
    EXPECT_EQ(u.fake.connectionsAccepted(), connections);

    // Every request went out as the 8-byte read header with the next
    // sequence number, failed exchanges included.
    const auto req = u.fake.requests();
    ASSERT_EQ(req.size(), static_cast<std::size_t>(s));
    for (std::size_t i = 0; i < req.size(); ++i) {
        EXPECT_EQ(hex(req[i]), hex(readRequest(static_cast<std::uint8_t>(i)))) << "request " << i;
    }
}

TEST(Exchange, AConnectionClosedByEitherSideIsRenewedByTheNextCall) {
    SoleUnit u(11);
    ASSERT_NE(u.handle, nullptr);
    ASSERT_TRUE(u.fake.waitForAccepted(1, 2000));
    u.fake.setData({0x5A});
    std::uint8_t d = 0;

    // The unit closes instead of answering: the receive sees 0 bytes.
    u.fake.enqueue(Reply{{}, 0, false, true});
    EXPECT_EQ(lib().ReadDIO(u.handle, 0, &d), KELVO_STATUS_COMM_ERROR);
    EXPECT_TRUE(u.fake.waitForAccepted(2, 2000));
    EXPECT_EQ(lib().ReadDIO(u.handle, 0, &d), KELVO_STATUS_OK);
    EXPECT_EQ(d, 0x5A);

    // The unit drops an idle connection: the next call fails and reconnects.
    u.fake.closeConnections();
    EXPECT_EQ(lib().ReadDIO(u.handle, 0, &d), KELVO_STATUS_COMM_ERROR);
    EXPECT_TRUE(u.fake.waitForAccepted(3, 2000));
    EXPECT_EQ(lib().ReadDIO(u.handle, 0, &d), KELVO_STATUS_OK);

    // Kelvo_Close keeps the handle: the next call fails for want of a
    // connection but makes one on the way.
    EXPECT_EQ(lib().Close(u.handle), 1);
    EXPECT_TRUE(u.fake.waitForOpenConnections(0, 2000));
    EXPECT_EQ(lib().ReadDIO(u.handle, 0, &d), KELVO_STATUS_COMM_ERROR);
    EXPECT_TRUE(u.fake.waitForAccepted(4, 2000));
    EXPECT_EQ(lib().ReadDIO(u.handle, 0, &d), KELVO_STATUS_OK);
    EXPECT_EQ(d, 0x5A);

    // Requests that reached the unit: 0 (closed on), 1, 3 and 5. Sequence 2
    // went into the dropped connection, 4 found none; both stepped it.
    const auto req = u.fake.requests();
    ASSERT_EQ(req.size(), 4u);
    const std::uint8_t seen[] = {0, 1, 3, 5};
    for (std::size_t i = 0; i < 4; ++i) EXPECT_EQ(hex(req[i]), hex(readRequest(seen[i])));
    EXPECT_EQ(u.fake.connectionsAccepted(), 4);
}

TEST(Exchange, ALateReplyFailsAndIsNeverRead) {
    SoleUnit u(12);
    ASSERT_NE(u.handle, nullptr);
    ASSERT_TRUE(u.fake.waitForAccepted(1, 2000));
    u.fake.setData({0x5A});

    // Answered 2.5 s late, well after the 1.5 s reply wait.
    const int lateMs = 2500;
    u.fake.enqueue(Reply{readReply(0, 0xAA), lateMs});
    const auto t0 = Clock::now();
    std::uint8_t d = 0xEE;
    EXPECT_EQ(lib().ReadDIO(u.handle, 0, &d), KELVO_STATUS_COMM_ERROR);
    const long long waited = msSince(t0);
    std::printf("[          ] reply wait before failing: %lld ms\n", waited);
    EXPECT_GE(waited, 1400);
    EXPECT_LT(waited, lateMs - 100);
    EXPECT_EQ(d, 0);
    // The old connection is gone and a new one stands before the late
    // reply is even sent.
    EXPECT_TRUE(u.fake.waitForAccepted(2, 300));
    EXPECT_TRUE(u.fake.waitForOpenConnections(1, 300));
    EXPECT_LT(msSince(t0), lateMs);

    // After the late reply's time the next read gets its own answer.
    std::this_thread::sleep_until(t0 + std::chrono::milliseconds(lateMs + 200));
    d = 0;
    EXPECT_EQ(lib().ReadDIO(u.handle, 0, &d), KELVO_STATUS_OK);
    EXPECT_EQ(d, 0x5A);
    const auto req = u.fake.requests();
    ASSERT_EQ(req.size(), 2u);
    EXPECT_EQ(hex(req[1]), hex(readRequest(1)));
}

TEST(Exchange, AUnitSwitchedOffFailsEveryCallAndEachTriesToConnect) {
    SoleUnit u(13);
    ASSERT_NE(u.handle, nullptr);
    ASSERT_TRUE(u.fake.waitForAccepted(1, 2000));
    u.fake.setData({0x5A});

    u.fake.refuse(true);
    u.fake.closeConnections();
    std::uint8_t d;
    for (int i = 0; i < 3; ++i) {
        d = 0xEE;
        EXPECT_EQ(lib().ReadDIO(u.handle, 0, &d), KELVO_STATUS_COMM_ERROR) << "call " << i;
        EXPECT_EQ(d, 0);
    }
    EXPECT_TRUE(u.fake.requests().empty());
    // Without a connection raw access refuses at once; it does not connect.
    std::uint8_t frame[8] = {0x11, 0x00, 0x00, 0xFF, 0x08};
    EXPECT_EQ(lib().Access(u.handle, 8, frame), 0);

    // Switched on again: raw access still refuses (it never connects), the
    // next command fails but connects, the one after works.
    u.fake.refuse(false);
    EXPECT_EQ(lib().Access(u.handle, 8, frame), 0);
    EXPECT_FALSE(u.fake.waitForAccepted(2, 200));
    EXPECT_EQ(lib().ReadDIO(u.handle, 0, &d), KELVO_STATUS_COMM_ERROR);
    EXPECT_TRUE(u.fake.waitForAccepted(2, 2000));
    EXPECT_EQ(lib().ReadDIO(u.handle, 0, &d), KELVO_STATUS_OK);
    EXPECT_EQ(d, 0x5A);
    // Four failed commands stepped the counter; the raw accesses did not.
    const auto req = u.fake.requests();
    ASSERT_EQ(req.size(), 1u);
    EXPECT_EQ(hex(req[0]), hex(readRequest(4)));
}

// KELVO_TRACE, read by Kelvo_Initial: one line per exchange naming the unit,
// the request and what went wrong.
TEST(Exchange, TheTraceNamesEveryFailure) {
    const std::string path = inWindowsDirectory("kelvo-trace.log");
    std::remove(path.c_str());
    setEnvironment("KELVO_TRACE", path);
    SoleUnit u(14);
    setEnvironment("KELVO_TRACE", "");
    ASSERT_NE(u.handle, nullptr);
    ASSERT_TRUE(u.fake.waitForAccepted(1, 2000));
    u.fake.setData({0x5A});
    std::uint8_t d = 0;
    EXPECT_EQ(lib().ReadDIO(u.handle, 0, &d), KELVO_STATUS_OK);
    Bytes status = readReply(1, 0), command = readReply(3, 0);
    status[1] = 5;
    command[0] = 0x92;
    for (const Reply& r :
         {Reply{status}, Reply{readReply(7, 0)}, Reply{command}, Reply{{}, 0, false, true},
          Reply{{}, 0, true}, Reply{{0x91, 0x00, 0x06, 0x00, 0x08}}}) {
        u.fake.enqueue(r);
        EXPECT_EQ(lib().ReadDIO(u.handle, 0, &d), KELVO_STATUS_COMM_ERROR);
    }
    u.fake.refuse(true);
    u.fake.closeConnections();
    EXPECT_EQ(lib().ReadDIO(u.handle, 0, &d), KELVO_STATUS_COMM_ERROR);
    forgetAllUnits();  // KELVO_TRACE unset: the trace ends here

    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    in.close();
    std::remove(path.c_str());
    const std::string unit = "KV-103:1 " + testAddress(14) + " command 0x11 sequence ";
    for (const std::string& expected : std::initializer_list<std::string>{
             unit + "0 length 8 ", ": ok\n", unit + "1 length 8 ",
             ": unit status 5; reconnect ok\n",
             ": wrong sequence (got 7, expected 2); reconnect ok\n",
             ": wrong command byte (got 0x92, expected 0x91); reconnect ok\n",
             ": connection closed; reconnect ok\n", ": timeout after 1500 ms; reconnect ok\n",
             ": short reply (5 of 24 bytes); reconnect ok\n", "; reconnect failed (OS error ",
             "Kelvo_Initial: device-list mode 1, 1 units\n"}) {
        EXPECT_NE(text.str().find(expected), std::string::npos) << expected << " in\n"
                                                                << text.str();
    }
    EXPECT_EQ(text.str().find("Kelvo_Initial: device-list mode 1, 0 units"), std::string::npos);
}

TEST(Exchange, SequenceCounterWrapsAndStepsOnlyWithAnExchange) {
    SoleUnit u(14);
    ASSERT_NE(u.handle, nullptr);
    std::uint8_t d = 0;
    for (int i = 0; i < 255; ++i) {  // sequences 0 to 254
        ASSERT_EQ(lib().ReadDIO(u.handle, 0, &d), KELVO_STATUS_OK) << "call " << i;
    }
    // 255 fails (status 1) and still steps the counter.
    Bytes failing = readReply(255, 0);
    failing[1] = 1;
    u.fake.enqueue(Reply{failing});
    EXPECT_EQ(lib().ReadDIO(u.handle, 0, &d), KELVO_STATUS_COMM_ERROR);
    // No exchange, no step: a refused handle, a port the model cannot read,
    // a raw frame shorter than a header.
    EXPECT_EQ(lib().ReadDIO(strangeHandle(), 0, &d), KELVO_STATUS_NOT_OPEN);
    EXPECT_EQ(lib().ReadDIO(nullptr, 0, &d), KELVO_STATUS_NOT_OPEN);
    EXPECT_EQ(lib().ReadDIO(u.handle, 1, &d), KELVO_STATUS_BAD_CHANNEL);
    std::uint8_t frame[8] = {0x11, 0x00, 0x00, 0xFF, 0x08};
    EXPECT_EQ(lib().Access(u.handle, 7, frame), 0);
    EXPECT_EQ(lib().ReadDIO(u.handle, 0, &d), KELVO_STATUS_OK);
    EXPECT_EQ(lib().ReadDIO(u.handle, 0, &d), KELVO_STATUS_OK);

    ASSERT_TRUE(u.fake.waitForRequests(258, 2000));
    const auto req = u.fake.requests();
    ASSERT_EQ(req.size(), 258u);
    for (std::size_t i = 0; i < req.size(); ++i) {
        ASSERT_EQ(req[i].size(), 8u) << "request " << i;
        ASSERT_EQ(req[i][2], static_cast<std::uint8_t>(i)) << "request " << i;
    }
}

// A reply must bring the bytes its operation reads: reads wait for the rest
// of a reply that comes in parts and fail when it stays short; writes and
// configuration take a reply of the three checked bytes; raw access reports
// only bytes that came. Driven on a KV-109 (16 analog inputs, 16 bits).
TEST(Exchange, ShortRepliesFailReadsButNotWrites) {
    SoleUnit u(15, 9, 1);
    ASSERT_NE(u.handle, nullptr);
    u.fake.setData({0x5A, 0x00, 0x34, 0x12});
    std::uint8_t s = 0;
    int connections = 1;
    auto header = [&](std::uint8_t command, std::size_t n) {
        Bytes r(n, 0);
        r[0] = command;
        if (n > 2) r[2] = s;
        return r;
    };
    auto failedAndReconnected = [&] {
        ++s;
        EXPECT_TRUE(u.fake.waitForAccepted(++connections, 2000));
    };

    // Reads: 3 bytes, or the header without its data, are no value.
    std::uint8_t d = 0xEE;
    u.fake.enqueue(Reply{header(0x91, 3)});
    EXPECT_EQ(lib().ReadDIO(u.handle, 0, &d), KELVO_STATUS_COMM_ERROR);
    EXPECT_EQ(d, 0);
    failedAndReconnected();
    std::int32_t v = 7;
    u.fake.enqueue(Reply{header(0x91, 16)});
    EXPECT_EQ(lib().ReadAIO(u.handle, 0, &v), KELVO_STATUS_COMM_ERROR);
    EXPECT_EQ(v, 0);
    failedAndReconnected();
    // One byte short of a 16-bit channel value: the rest never comes.
    Bytes cut = FakeUnit::validReply({0x11, 0, s, 0, 2, 0, 0, 0}, 17);
    u.fake.enqueue(Reply{cut});
    EXPECT_EQ(lib().ReadAIO(u.handle, 0, &v), KELVO_STATUS_COMM_ERROR);
    failedAndReconnected();
    std::uint32_t count = 9;
    u.fake.enqueue(Reply{header(0x9B, 8)});
    EXPECT_EQ(lib().MemSampleStatusAIO(u.handle, &count), 0);
    EXPECT_EQ(count, 0u);
    failedAndReconnected();

    // A reply in two parts is received whole, on the same connection.
    Bytes whole = readReply(s, 0xC3);
    u.fake.enqueue(Reply{whole, 0, false, false, 5, 200});
    EXPECT_EQ(lib().ReadDIO(u.handle, 0, &d), KELVO_STATUS_OK);
    EXPECT_EQ(d, 0xC3);
    ++s;

    // Writes and configuration: the checked three bytes are enough, fewer
    // are not.
    u.fake.enqueue(Reply{header(0xA1, 3)});
    EXPECT_EQ(lib().WriteDIO(u.handle, 0, 1, 1), KELVO_STATUS_OK);
    ++s;
    u.fake.enqueue(Reply{header(0xA4, 3)});
    EXPECT_EQ(lib().SetGainAIO(u.handle, 0, 2), KELVO_STATUS_OK);
    ++s;
    u.fake.enqueue(Reply{header(0xA1, 2)});
    EXPECT_EQ(lib().WriteDIO(u.handle, 0, 1, 1), KELVO_STATUS_COMM_ERROR);
    failedAndReconnected();

    // Raw access takes three bytes; byte 4 did not come, so no data do, and
    // the caller's buffer stays as it was. Data announced past the reply's
    // end come back as zeros, never as the request's own bytes.
    Bytes request(24, 0);
    request[0] = 0x11;
    request[4] = 4;
    for (int i = 0; i < 8; ++i) request[16 + i] = static_cast<std::uint8_t>(0xB0 + i);
    Bytes buffer = request;
    u.fake.enqueue(Reply{header(0x91, 3)});
    EXPECT_EQ(lib().Access(u.handle, 24, buffer.data()), 1);
    EXPECT_EQ(hex(buffer), hex(request));
    ++s;
    Bytes part = header(0x91, 18);
    part[4] = 4;
    part[16] = 0x61;
    part[17] = 0x62;
    u.fake.enqueue(Reply{part});
    EXPECT_EQ(lib().Access(u.handle, 24, buffer.data()), 1);
    Bytes expected = request;
    expected[0] = 0x61;
    expected[1] = 0x62;
    expected[2] = expected[3] = 0;
    EXPECT_EQ(hex(buffer), hex(expected));
    ++s;

    // Every request went out with the next sequence number.
    ASSERT_TRUE(u.fake.waitForRequests(s, 2000));
    const auto req = u.fake.requests();
    ASSERT_EQ(req.size(), static_cast<std::size_t>(s));
    for (std::size_t i = 0; i < req.size(); ++i) EXPECT_EQ(req[i][2], i) << "request " << i;
}

// A unit whose address goes away mid-session (taken off lo, inside the
// namespace): a call fails within the reply timeout plus the connect limit,
// and the unit works again once the address is back.
TEST(Exchange, AnAddressThatVanishesCostsAtMostReplyTimeoutPlusConnectLimit) {
    KELVO_REQUIRE_PRIVATE_NETWORK();
    const std::string address = "10.77.0.30";
    if (!setLoopbackAddress(address, true)) {
        GTEST_SKIP() << "cannot add " << address
                     << " to lo (needs ip(8) and root in the namespace; not under Wine)";
    }
    struct Removed {
        std::string address;
        ~Removed() { setLoopbackAddress(address, false); }
    } cleanup{address};
    FakeUnit fake(address, 3, 1);
    fake.setData({0x5A});
    writeDeviceList(listText({deviceLine(address, 3, 1)}));
    ASSERT_EQ(lib().Initial(), 1);
    const KELVO_HANDLE h = lib().Open(3, 1);
    ASSERT_NE(h, nullptr);
    std::uint8_t d = 0;
    EXPECT_EQ(lib().ReadDIO(h, 0, &d), KELVO_STATUS_OK);

    ASSERT_TRUE(setLoopbackAddress(address, false));
    const long long bound = KELVO_REPLY_TIMEOUT_MS + KELVO_CONNECT_TIMEOUT_MS + 1000;
    auto t0 = Clock::now();
    EXPECT_EQ(lib().ReadDIO(h, 0, &d), KELVO_STATUS_COMM_ERROR);
    const long long first = msSince(t0);
    // No connection left: the next call only tries to connect.
    t0 = Clock::now();
    EXPECT_EQ(lib().ReadDIO(h, 0, &d), KELVO_STATUS_COMM_ERROR);
    const long long second = msSince(t0);
    std::printf("[          ] calls on a vanished address: %lld ms, then %lld ms\n", first, second);
    EXPECT_LE(first, bound);
    EXPECT_LE(second, KELVO_CONNECT_TIMEOUT_MS + 1000);

    // Back: the next call fails for want of a connection but makes one, the
    // call after it works.
    ASSERT_TRUE(setLoopbackAddress(address, true));
    EXPECT_EQ(lib().ReadDIO(h, 0, &d), KELVO_STATUS_COMM_ERROR);
    EXPECT_EQ(lib().ReadDIO(h, 0, &d), KELVO_STATUS_OK);
    EXPECT_EQ(d, 0x5A);
    forgetAllUnits();
}

}  // namespace
}  // namespace kelvotest
