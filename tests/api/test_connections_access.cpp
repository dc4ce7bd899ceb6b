// Raw frames (Kelvo_Access) and version information (Kelvo_GetVerInfo).
// Addresses 127.0.0.40 to 127.0.0.59.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

#include "kelvo.h"
#include "support/fake_unit.h"
#include "support/helpers.h"
#include "support/library.h"

namespace kelvotest {
namespace {

// Bytes 0..n-1 as 0x40, 0x41, ...
Bytes pattern(std::size_t n) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(0x40 + i);
    return b;
}

TEST(Access, RefusedCallsMakeNoExchange) {
    SoleUnit u(40);
    ASSERT_NE(u.handle, nullptr);
    Bytes buffer(300, 0);
    buffer[0] = 0x11;
    buffer[4] = 8;
    const Bytes before = buffer;

    // Shorter than a header, longer than the frame, negative as 16 bits.
    for (std::int32_t length : {0, 7, 257, 300, 0x7FFF, 0xFFFF, -1, -8}) {
        SCOPED_TRACE(testing::Message() << "length " << length);
        EXPECT_EQ(lib().Access(u.handle, length, buffer.data()), 0);
        EXPECT_EQ(hex(buffer), hex(before));
    }
    EXPECT_EQ(lib().Access(u.handle, 8, nullptr), 0);
    EXPECT_EQ(lib().Access(nullptr, 8, buffer.data()), 0);
    EXPECT_EQ(lib().Access(strangeHandle(), 8, buffer.data()), 0);

    // None of them sent or stepped anything: the first request to arrive
    // is this one, with sequence 0. Only the low 16 bits of the length
    // count, so 0x10008 is 8.
    EXPECT_EQ(lib().Access(u.handle, 0x10008, buffer.data()), 1);
    ASSERT_TRUE(u.fake.waitForRequests(1, 2000));
    const auto req = u.fake.requests();
    ASSERT_EQ(req.size(), 1u);
    EXPECT_EQ(hex(req[0]), hex(Bytes{0x11, 0x00, 0x00, 0x00, 0x08, 0x00, 0x00, 0x00}));

    // Not connected: refused, and no connection is made for it.
    EXPECT_EQ(lib().Close(u.handle), 1);
    EXPECT_EQ(lib().Access(u.handle, 8, buffer.data()), 0);
    EXPECT_FALSE(u.fake.waitForAccepted(2, 200));
    EXPECT_EQ(u.fake.requests().size(), 1u);
}

TEST(Access, TheCallersBytesGoOutAsGivenWithTheSequenceNumber) {
    SoleUnit u(41);
    ASSERT_NE(u.handle, nullptr);
    std::uint8_t d = 0;
    ASSERT_EQ(lib().ReadDIO(u.handle, 0, &d), KELVO_STATUS_OK);  // sequence 0

    // 20 bytes: byte 2 becomes the sequence number, nothing else changes,
    // and the frame's older contents do not leak into the request.
    Bytes request = pattern(20);
    request[4] = 3;  // the default reply echoes it: 3 data bytes back
    Bytes buffer = request;
    EXPECT_EQ(lib().Access(u.handle, 20, buffer.data()), 1);
    // A full 256-byte frame.
    Bytes full = pattern(256);
    full[4] = 0;
    Bytes fullBuffer = full;
    EXPECT_EQ(lib().Access(u.handle, 256, fullBuffer.data()), 1);
    // The shortest, a bare header.
    Bytes header = {0x1B, 0x00, 0xEE, 0x05, 0x00, 0x06, 0x07, 0x08};
    Bytes headerBuffer = header;
    EXPECT_EQ(lib().Access(u.handle, 8, headerBuffer.data()), 1);

    ASSERT_TRUE(u.fake.waitForRequests(4, 2000));
    const auto req = u.fake.requests();
    ASSERT_EQ(req.size(), 4u);
    request[2] = 1;
    EXPECT_EQ(hex(req[1]), hex(request));
    full[2] = 2;
    EXPECT_EQ(hex(req[2]), hex(full));
    header[2] = 3;
    EXPECT_EQ(hex(req[3]), hex(header));

    // The reply's 3 data bytes (the request's bytes 16..18, echoed) came
    // back to the front of the buffer; the rest is the caller's.
    Bytes expected = pattern(20);
    expected[4] = 3;
    expected[0] = 0x50;
    expected[1] = 0x51;
    expected[2] = 0x52;
    EXPECT_EQ(hex(buffer), hex(expected));
    // Reply byte 4 was 0: nothing copied back.
    full[2] = 0x42;
    EXPECT_EQ(hex(fullBuffer), hex(full));
}

TEST(Access, ReplyByteFourSaysHowMuchComesBackAtMost240) {
    SoleUnit u(42);
    ASSERT_NE(u.handle, nullptr);
    // The reply's data area: 0x00, 0x01, ... from byte 16.
    auto reply = [](std::uint8_t s, std::uint8_t n) {
        Bytes r = FakeUnit::validReply(Bytes{0x11, 0x00, s, 0x00, n});
        for (std::size_t i = 16; i < 256; ++i) r[i] = static_cast<std::uint8_t>(i - 16);
        return r;
    };
    // The caller's buffer: an 8-byte request, then 0xCC, with a different
    // guard pattern from byte 240 on.
    auto fresh = [] {
        Bytes b(256, 0xCC);
        const std::uint8_t head[] = {0x11, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
        std::memcpy(b.data(), head, sizeof head);
        for (std::size_t i = 240; i < 256; ++i) b[i] = static_cast<std::uint8_t>(0xF0 + i - 240);
        return b;
    };

    const std::uint8_t counts[] = {0, 5, 240, 241, 250, 255};
    std::uint8_t s = 0;
    for (std::uint8_t n : counts) {
        SCOPED_TRACE(testing::Message() << "reply byte 4 = " << int{n});
        u.fake.enqueue(Reply{reply(s, n)});
        Bytes buffer = fresh();
        EXPECT_EQ(lib().Access(u.handle, 8, buffer.data()), 1);
        Bytes expected = fresh();
        const std::size_t copied = n < 240 ? n : 240;
        for (std::size_t i = 0; i < copied; ++i) expected[i] = static_cast<std::uint8_t>(i);
        EXPECT_EQ(hex(buffer), hex(expected));
        ++s;
    }

    // A failed exchange leaves the buffer alone, steps the counter and
    // renews the connection.
    Bytes failing = reply(s, 5);
    failing[1] = 1;
    u.fake.enqueue(Reply{failing});
    Bytes buffer = fresh();
    EXPECT_EQ(lib().Access(u.handle, 8, buffer.data()), 0);
    EXPECT_EQ(hex(buffer), hex(fresh()));
    EXPECT_TRUE(u.fake.waitForAccepted(2, 2000));
    ++s;
    EXPECT_EQ(lib().Access(u.handle, 8, buffer.data()), 1);
    ASSERT_TRUE(u.fake.waitForRequests(s + 1u, 2000));
    const auto req = u.fake.requests();
    ASSERT_EQ(req.size(), s + 1u);
    for (std::size_t i = 0; i < req.size(); ++i) EXPECT_EQ(req[i][2], i) << "request " << i;
}

// A version record holding only the library's part: 1.0, "2026/12/08".
Bytes libraryOnly() {
    Bytes b(37, 0);
    b[0] = 1;
    b[1] = 0;
    std::memcpy(&b[2], "2026/12/08", 10);
    return b;
}

TEST(VersionInfo, TheLibraryPartNeedsNoUnit) {
    for (KELVO_HANDLE h : {KELVO_HANDLE{nullptr}, strangeHandle()}) {
        SCOPED_TRACE(testing::Message() << "handle " << h);
        std::uint8_t info[37];
        std::memset(info, 0xCC, sizeof info);
        EXPECT_EQ(lib().GetVerInfo(h, reinterpret_cast<KelvoVersionInfo*>(info)), 1);
        EXPECT_EQ(hex(bytesOf(info, 37)), hex(libraryOnly()));
    }
}

TEST(VersionInfo, TheUnitsPartAndItsSequenceNumber) {
    SoleUnit u(50);
    ASSERT_NE(u.handle, nullptr);
    std::uint8_t d = 0;
    ASSERT_EQ(lib().ReadDIO(u.handle, 0, &d), KELVO_STATUS_OK);  // sequence 0

    // Default version reply: bytes 19..24 = 2, 5, 8, 6, 20, 0x33.
    std::uint8_t info[37];
    std::memset(info, 0xCC, sizeof info);
    EXPECT_EQ(lib().GetVerInfo(u.handle, reinterpret_cast<KelvoVersionInfo*>(info)), 1);
    Bytes expected = libraryOnly();
    expected[18] = 0x33;
    expected[19] = 2;
    expected[20] = 5;
    std::memcpy(&expected[21], "2008/06/20", 10);
    EXPECT_EQ(hex(bytesOf(info, 37)), hex(expected));
    // It asked with sequence 1 and did not step the counter: the next
    // command carries 1 again.
    ASSERT_EQ(lib().ReadDIO(u.handle, 0, &d), KELVO_STATUS_OK);
    ASSERT_TRUE(u.fake.waitForRequests(3, 2000));
    auto req = u.fake.requests();
    ASSERT_EQ(req.size(), 3u);
    EXPECT_EQ(hex(req[1]), hex(Bytes{0x12, 0x00, 0x01, 0x00, 0x09, 0x00, 0x00, 0x00}));
    EXPECT_EQ(hex(req[2]), hex(readRequest(1)));

    // Date bytes are printed as they are: 2000 + year, two digits each.
    Bytes dated = FakeUnit::validReply(Bytes{0x12, 0x00, 0x02, 0x00, 0x09});
    const std::uint8_t fields[] = {7, 1, 99, 12, 31, 0x80};
    std::memcpy(&dated[19], fields, sizeof fields);
    u.fake.enqueue(Reply{dated});
    std::memset(info, 0xCC, sizeof info);
    EXPECT_EQ(lib().GetVerInfo(u.handle, reinterpret_cast<KelvoVersionInfo*>(info)), 1);
    EXPECT_EQ(info[18], 0x80);
    EXPECT_EQ(info[19], 7);
    EXPECT_EQ(info[20], 1);
    EXPECT_STREQ(reinterpret_cast<const char*>(info + 21), "2099/12/31");

    // A failed version exchange leaves the unit's part zero and renews the
    // connection; the library's part is still there.
    Bytes failing = FakeUnit::validReply(Bytes{0x12, 0x00, 0x02, 0x00, 0x09});
    failing[1] = 2;
    u.fake.enqueue(Reply{failing});
    std::memset(info, 0xCC, sizeof info);
    EXPECT_EQ(lib().GetVerInfo(u.handle, reinterpret_cast<KelvoVersionInfo*>(info)), 1);
    EXPECT_EQ(hex(bytesOf(info, 37)), hex(libraryOnly()));
    EXPECT_TRUE(u.fake.waitForAccepted(2, 2000));

    // Not connected: the unit is not asked.
    EXPECT_EQ(lib().Close(u.handle), 1);
    std::memset(info, 0xCC, sizeof info);
    EXPECT_EQ(lib().GetVerInfo(u.handle, reinterpret_cast<KelvoVersionInfo*>(info)), 1);
    EXPECT_EQ(hex(bytesOf(info, 37)), hex(libraryOnly()));
    EXPECT_FALSE(u.fake.waitForAccepted(3, 200));
    req = u.fake.requests();
    ASSERT_EQ(req.size(), 5u);
    EXPECT_EQ(req[3][2], 2);
    EXPECT_EQ(req[4][2], 2);
}

}  // namespace
}  // namespace kelvotest
