// Digital ports through the public C API: the literal requests on the wire,
// the port ranges of every model, the multi-port calls and their failures.
// Addresses 127.0.0.100 to 127.0.0.109.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>

#include "io_helpers.h"

namespace kelvotest::io {
namespace {

const Bytes IMAGE = {0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7};

TEST(DigitalRequests, ReadAndWriteFramesOnTheWire) {
    OpenedUnit u(100, 8);  // three ports, each readable and writable
    ASSERT_NE(u.handle, nullptr);
    u.fake.setData(IMAGE);
    std::uint8_t d = 0xEE;

    ASSERT_EQ(lib().ReadDIO(u.handle, 2, &d), KELVO_STATUS_OK);
    EXPECT_EQ(d, 0xA2);
    ASSERT_EQ(lib().WriteDIO(u.handle, 1, 0x5A, 0xC3), KELVO_STATUS_OK);
    // A zero mask changes no line but still goes out.
    ASSERT_EQ(lib().WriteDIO(u.handle, 2, 0x77, 0x00), KELVO_STATUS_OK);
    // Only the low 8 bits of port, value and mask count: port 0x100 is port 0.
    ASSERT_EQ(lib().WriteDIO(u.handle, 0x100, 0x1A5, 0x13C), KELVO_STATUS_OK);
    d = 0xEE;
    ASSERT_EQ(lib().ReadDIO(u.handle, 0x101, &d), KELVO_STATUS_OK);
    EXPECT_EQ(d, 0xA1);
    const std::uint8_t ports[] = {2, 0, 1};
    const std::uint8_t values[] = {0x12, 0x34, 0x56};
    const std::uint8_t masks[] = {0xF1, 0xF2, 0xF3};
    ASSERT_EQ(lib().MultiWriteDIO(u.handle, 3, ports, values, masks), KELVO_STATUS_OK);

    auto req = sent(u.fake, 6);
    ASSERT_EQ(req.size(), 6u);
    EXPECT_EQ(hex(req[0]), hex(Bytes{0x11, 0x00, 0x00, 0xFF, 0x08, 0x00, 0x00, 0x00}));
    Bytes w = frameOf({0x21, 0x00, 0x01, 0xFF, 0x00, 0x00, 0x00, 0x00}, 24);
    put(w, 8, {0x00, 0xC3, 0, 0, 0, 0, 0, 0});
    put(w, 16, {0x00, 0x5A, 0, 0, 0, 0, 0, 0});
    EXPECT_EQ(hex(req[1]), hex(w));
    EXPECT_EQ(hex(req[2]), hex(writePortFrame(2, 2, 0x77, 0x00)));
    EXPECT_EQ(hex(req[3]), hex(writePortFrame(3, 0, 0xA5, 0x3C)));
    EXPECT_EQ(hex(req[4]), hex(readPortsFrame(4)));
    Bytes multi = frameOf({0x21, 0x00, 0x05, 0xFF}, 24);
    put(multi, 8, {0xF2, 0xF3, 0xF1});
    put(multi, 16, {0x34, 0x56, 0x12});
    EXPECT_EQ(hex(req[5]), hex(multi));
}

TEST(DigitalRequests, DirectionFrames) {
    OpenedUnit u(101, 16);
    ASSERT_NE(u.handle, nullptr);
    const std::uint8_t dirs[9] = {0x0F, 0xF0, 0x55, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06};

    ASSERT_EQ(lib().SetChDirDIO(u.handle, 3, dirs), KELVO_STATUS_OK);
    ASSERT_EQ(lib().SetChDirDIO(u.handle, 0, dirs), KELVO_STATUS_OK);
    ASSERT_EQ(lib().SetChDirDIO(u.handle, 8, dirs), KELVO_STATUS_OK);
    ASSERT_EQ(lib().SetChDirDIO(u.handle, 0x103, dirs), KELVO_STATUS_OK);  // count 3
    // More than 8 ports do not fit the request: refused, nothing sent, the
    // sequence counter not stepped. The handle is checked first.
    EXPECT_EQ(lib().SetChDirDIO(u.handle, 9, dirs), KELVO_STATUS_BAD_CHANNEL);
    EXPECT_EQ(lib().SetChDirDIO(u.handle, 255, dirs), KELVO_STATUS_BAD_CHANNEL);
    EXPECT_EQ(lib().SetChDirDIO(nullptr, 9, dirs), KELVO_STATUS_NOT_OPEN);
    EXPECT_EQ(lib().SetChDirDIO(strangerHandle(), 3, dirs), KELVO_STATUS_NOT_OPEN);
    ASSERT_EQ(lib().SetChDirDIO(u.handle, 1, dirs), KELVO_STATUS_OK);

    auto req = sent(u.fake, 5);
    ASSERT_EQ(req.size(), 5u);
    Bytes three = frameOf({0x24, 0x00, 0x00, 0xFF, 0x00, 0x00, 0x00, 0x00}, 24);
    put(three, 8, {0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x00, 0x00});
    put(three, 16, {0x0F, 0xF0, 0x55, 0x00, 0x00, 0x00, 0x00, 0x00});
    EXPECT_EQ(hex(req[0]), hex(three));
    EXPECT_EQ(hex(req[1]), hex(frameOf({0x24, 0x00, 0x01, 0xFF}, 24)));
    Bytes eight = frameOf({0x24, 0x00, 0x02, 0xFF}, 24);
    put(eight, 8, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF});
    put(eight, 16, {0x0F, 0xF0, 0x55, 0x01, 0x02, 0x03, 0x04, 0x05});
    EXPECT_EQ(hex(req[2]), hex(eight));
    three[2] = 0x03;
    EXPECT_EQ(hex(req[3]), hex(three));
    Bytes one = frameOf({0x24, 0x00, 0x04, 0xFF}, 24);
    put(one, 8, {0xFF});
    put(one, 16, {0x0F});
    EXPECT_EQ(hex(req[4]), hex(one));
}

// Reads are accepted below the model's input count, writes below its total,
// and no port beyond the 8 of the port image on either side (the 16-channel
// analog inputs, codes 9 and 19). Codes without a row behave as row 0.
TEST(DigitalRanges, EveryModelAcceptsItsOwnPorts) {
    struct Row {
        int model;
        unsigned readable;
        unsigned writable;
    };
    const Row rows[] = {{0, 0, 0},  {1, 2, 2},  {2, 2, 2},  {3, 1, 2},  {4, 1, 2},  {5, 0, 2},
                        {6, 0, 2},  {7, 0, 2},  {8, 3, 3},  {9, 8, 8},  {10, 0, 4}, {11, 2, 2},
                        {12, 8, 8}, {13, 4, 4}, {14, 0, 8}, {15, 0, 4}, {16, 4, 8}, {17, 2, 4},
                        {18, 2, 2}, {19, 8, 8}, {20, 0, 4}, {25, 0, 0}};
    const std::string addr = testAddress(102);
    FakeUnit fake(addr, 1, 1);
    fake.setData(IMAGE);
    std::string text = "1\r\n";
    for (const Row& r : rows) {
        text += deviceLine(addr, r.model, 1) + "\r\n";
    }
    writeDeviceList(text);
    ASSERT_EQ(lib().Initial(), 22);

    const std::uint32_t probes[] = {0, 1, 2,  3,  4,    5,     6,     7,
                                    8, 9, 15, 16, 0xFF, 0x100, 0x107, 0x108};
    for (const Row& r : rows) {
        SCOPED_TRACE("model " + std::to_string(r.model));
        KELVO_HANDLE h = lib().Open(r.model, 1);
        ASSERT_NE(h, nullptr);
        fake.clearRequests();
        std::uint8_t seq = 0;  // a fresh entry starts at 0
        std::size_t count = 0;
        for (std::uint32_t port : probes) {
            SCOPED_TRACE("port " + std::to_string(port));
            unsigned p = port & 0xFF;
            std::uint8_t d = 0xEE;
            if (p < r.readable) {
                EXPECT_EQ(lib().ReadDIO(h, port, &d), KELVO_STATUS_OK);
                EXPECT_EQ(d, IMAGE[p]);
                auto req = sent(fake, ++count);
                ASSERT_EQ(req.size(), count);
                EXPECT_EQ(hex(req.back()), hex(readPortsFrame(seq++)));
            } else {
                EXPECT_EQ(lib().ReadDIO(h, port, &d), KELVO_STATUS_BAD_CHANNEL);
                EXPECT_EQ(d, 0);
                ASSERT_EQ(fake.requests().size(), count);
            }
            if (p < r.writable) {
                EXPECT_EQ(lib().WriteDIO(h, port, 0x3C, 0x5A), KELVO_STATUS_OK);
                auto req = sent(fake, ++count);
                ASSERT_EQ(req.size(), count);
                EXPECT_EQ(hex(req.back()), hex(writePortFrame(seq++, p, 0x3C, 0x5A)));
            } else {
                EXPECT_EQ(lib().WriteDIO(h, port, 0x3C, 0x5A), KELVO_STATUS_BAD_CHANNEL);
                ASSERT_EQ(fake.requests().size(), count);
            }
        }
        // The first port beyond the readable ones: the read is made, then
        // that entry and the rest are refused.
        const std::uint8_t mr[] = {0, static_cast<std::uint8_t>(r.readable), 0};
        std::uint8_t md[3] = {0xEE, 0xEE, 0xEE};
        EXPECT_EQ(lib().MultiReadDIO(h, 3, mr, md), KELVO_STATUS_BAD_CHANNEL);
        EXPECT_EQ(md[0], r.readable > 0 ? IMAGE[0] : 0);
        EXPECT_EQ(md[1], 0);
        EXPECT_EQ(md[2], 0);
        auto req = sent(fake, ++count);
        ASSERT_EQ(req.size(), count);
        EXPECT_EQ(hex(req.back()), hex(readPortsFrame(seq++)));
        // A multi-port write with one port beyond the writable ones sends nothing.
        const std::uint8_t mw[] = {0, static_cast<std::uint8_t>(r.writable)};
        const std::uint8_t mv[] = {1, 2};
        EXPECT_EQ(lib().MultiWriteDIO(h, 2, mw, mv, mv), KELVO_STATUS_BAD_CHANNEL);
        ASSERT_EQ(fake.requests().size(), count);
        // Directions consult no model data: accepted on every unit.
        const std::uint8_t dir = 0x81;
        EXPECT_EQ(lib().SetChDirDIO(h, 1, &dir), KELVO_STATUS_OK);
        req = sent(fake, ++count);
        ASSERT_EQ(req.size(), count);
        EXPECT_EQ(req.back()[2], seq);
        lib().Close(h);
    }
}

TEST(DigitalMultiRead, PortListMapsOntoOneRead) {
    OpenedUnit u(103, 17);  // 2 input ports, 4 in total
    ASSERT_NE(u.handle, nullptr);
    u.fake.setData(IMAGE);

    std::uint8_t d[3] = {0xEE, 0xEE, 0xEE};
    EXPECT_EQ(lib().MultiReadDIO(u.handle, 0, nullptr, d), KELVO_STATUS_OK);
    EXPECT_EQ(d[0], 0xEE);  // nothing to write

    const std::uint8_t bad[] = {0, 5, 1};
    EXPECT_EQ(lib().MultiReadDIO(u.handle, 3, bad, d), KELVO_STATUS_BAD_CHANNEL);
    EXPECT_EQ(d[0], 0xA0);
    EXPECT_EQ(d[1], 0);
    EXPECT_EQ(d[2], 0);

    const std::uint8_t twice[] = {1, 1};
    d[0] = d[1] = 0xEE;
    EXPECT_EQ(lib().MultiReadDIO(u.handle, 2, twice, d), KELVO_STATUS_OK);
    EXPECT_EQ(d[0], 0xA1);
    EXPECT_EQ(d[1], 0xA1);

    const std::uint8_t order[] = {1, 0, 1};
    EXPECT_EQ(lib().MultiReadDIO(u.handle, 3, order, d), KELVO_STATUS_OK);
    EXPECT_EQ(d[0], 0xA1);
    EXPECT_EQ(d[1], 0xA0);
    EXPECT_EQ(d[2], 0xA1);

    // Port 2 is an output port of this unit: not readable.
    const std::uint8_t output[] = {2};
    d[0] = 0xEE;
    EXPECT_EQ(lib().MultiReadDIO(u.handle, 1, output, d), KELVO_STATUS_BAD_CHANNEL);
    EXPECT_EQ(d[0], 0);

    auto req = sent(u.fake, 5);
    ASSERT_EQ(req.size(), 5u);  // one exchange per call
    for (std::size_t i = 0; i < req.size(); ++i) {
        EXPECT_EQ(hex(req[i]), hex(readPortsFrame(static_cast<std::uint8_t>(i))));
    }
}

TEST(DigitalMultiWrite, EntriesFormOneImage) {
    OpenedUnit u(104, 16);  // 8 ports writable
    ASSERT_NE(u.handle, nullptr);
    const std::uint8_t one[] = {1};

    // An empty list is refused before the handle is looked at.
    EXPECT_EQ(lib().MultiWriteDIO(nullptr, 0, one, one, one), KELVO_STATUS_BAD_CHANNEL);
    EXPECT_EQ(lib().MultiWriteDIO(strangerHandle(), 0, one, one, one), KELVO_STATUS_BAD_CHANNEL);
    EXPECT_EQ(lib().MultiWriteDIO(u.handle, 0, one, one, one), KELVO_STATUS_BAD_CHANNEL);
    EXPECT_EQ(lib().MultiWriteDIO(u.handle, 0x100, one, one, one), KELVO_STATUS_BAD_CHANNEL);
    EXPECT_EQ(lib().MultiWriteDIO(nullptr, 1, one, one, one), KELVO_STATUS_NOT_OPEN);
    EXPECT_EQ(lib().MultiWriteDIO(strangerHandle(), 1, one, one, one), KELVO_STATUS_NOT_OPEN);

    // The later entry for a port replaces value and mask of the earlier one.
    const std::uint8_t samePort[] = {1, 1};
    const std::uint8_t sameValues[] = {0x0F, 0xF0};
    const std::uint8_t sameMasks[] = {0xFF, 0x3C};
    EXPECT_EQ(lib().MultiWriteDIO(u.handle, 2, samePort, sameValues, sameMasks), KELVO_STATUS_OK);

    // A bad last entry: nothing sent, the sequence counter not stepped.
    const std::uint8_t badLast[] = {0, 1, 8};
    const std::uint8_t v3[] = {1, 2, 3};
    EXPECT_EQ(lib().MultiWriteDIO(u.handle, 3, badLast, v3, v3), KELVO_STATUS_BAD_CHANNEL);

    const std::uint8_t all[] = {7, 3, 0};
    const std::uint8_t allValues[] = {0x77, 0x33, 0x00};
    const std::uint8_t allMasks[] = {0x70, 0x30, 0xFF};
    EXPECT_EQ(lib().MultiWriteDIO(u.handle, 0x103, all, allValues, allMasks), KELVO_STATUS_OK);

    auto req = sent(u.fake, 2);
    ASSERT_EQ(req.size(), 2u);
    EXPECT_EQ(hex(req[0]), hex(writePortFrame(0, 1, 0xF0, 0x3C)));
    Bytes expect = frameOf({0x21, 0x00, 0x01, 0xFF}, 24);
    put(expect, 8, {0xFF, 0x00, 0x00, 0x30, 0x00, 0x00, 0x00, 0x70});
    put(expect, 16, {0x00, 0x00, 0x00, 0x33, 0x00, 0x00, 0x00, 0x77});
    EXPECT_EQ(hex(req[1]), hex(expect));
}

TEST(DigitalFailures, UnknownHandleAndFailedExchange) {
    OpenedUnit u(105, 18);  // 2 ports, readable and writable
    ASSERT_NE(u.handle, nullptr);
    u.fake.setData(IMAGE);
    const std::uint8_t ports[] = {0, 1};
    const std::uint8_t dirs[] = {0xFF, 0x00};

    for (KELVO_HANDLE bad : {static_cast<KELVO_HANDLE>(nullptr), strangerHandle()}) {
        std::uint8_t d = 0xEE;
        std::uint8_t md[2] = {0xEE, 0xEE};
        EXPECT_EQ(lib().ReadDIO(bad, 0, &d), KELVO_STATUS_NOT_OPEN);
        EXPECT_EQ(d, 0);
        EXPECT_EQ(lib().MultiReadDIO(bad, 2, ports, md), KELVO_STATUS_NOT_OPEN);
        EXPECT_EQ(md[0], 0);
        EXPECT_EQ(md[1], 0);
        EXPECT_EQ(lib().WriteDIO(bad, 0, 1, 1), KELVO_STATUS_NOT_OPEN);
        EXPECT_EQ(lib().MultiWriteDIO(bad, 2, ports, dirs, dirs), KELVO_STATUS_NOT_OPEN);
        EXPECT_EQ(lib().SetChDirDIO(bad, 2, dirs), KELVO_STATUS_NOT_OPEN);
    }
    EXPECT_TRUE(u.fake.requests().empty());

    // Replies with status 1 fail every exchange; reads report zeros, and the
    // sequence counter still steps.
    u.fake.enqueue(failingReply(readPortsFrame(0)));
    u.fake.enqueue(failingReply(readPortsFrame(1)));
    u.fake.enqueue(failingReply(writePortFrame(2, 1, 0x11, 0x22)));
    std::uint8_t d = 0xEE;
    EXPECT_EQ(lib().ReadDIO(u.handle, 1, &d), KELVO_STATUS_COMM_ERROR);
    EXPECT_EQ(d, 0);
    std::uint8_t md[2] = {0xEE, 0xEE};
    EXPECT_EQ(lib().MultiReadDIO(u.handle, 2, ports, md), KELVO_STATUS_COMM_ERROR);
    EXPECT_EQ(md[0], 0);
    EXPECT_EQ(md[1], 0);
    EXPECT_EQ(lib().WriteDIO(u.handle, 1, 0x11, 0x22), KELVO_STATUS_COMM_ERROR);
    // The connection was renewed: the next read works.
    EXPECT_EQ(lib().ReadDIO(u.handle, 1, &d), KELVO_STATUS_OK);
    EXPECT_EQ(d, 0xA1);

    auto req = sent(u.fake, 4);
    ASSERT_EQ(req.size(), 4u);
    EXPECT_EQ(hex(req[2]), hex(writePortFrame(2, 1, 0x11, 0x22)));
    EXPECT_EQ(hex(req[3]), hex(readPortsFrame(3)));
}

}  // namespace
}  // namespace kelvotest::io
