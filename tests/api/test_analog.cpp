// Analog channels and counters through the public C API: literal requests,
// value widths and sign extension, channel limits, the channel-set mapping of
// the multi-channel calls, the configuration bytes and the failures.
// Addresses 127.0.0.110 to 127.0.0.139.
#include <gtest/gtest.h>

#include <cstdint>

#include "io_helpers.h"

namespace kelvotest::io {
namespace {

Bytes readChannelFrame(std::uint8_t seq, std::uint8_t channel, std::uint8_t width) {
    return frameOf({0x11, 0x00, seq, channel, width, 0x00, 0x00, 0x00}, 8);
}

Bytes configFrame(std::uint8_t seq, std::uint8_t channel, std::uint8_t value) {
    Bytes b = frameOf({0x24, 0x00, seq, channel}, 24);
    b[16] = value;
    return b;
}

// The unit's channel block: entry i, 32 bits little-endian, from data byte 4*i.
Bytes channelBlock(std::initializer_list<std::uint32_t> entries) {
    Bytes b;
    for (std::uint32_t v : entries) {
        b.push_back(static_cast<std::uint8_t>(v));
        b.push_back(static_cast<std::uint8_t>(v >> 8));
        b.push_back(static_cast<std::uint8_t>(v >> 16));
        b.push_back(static_cast<std::uint8_t>(v >> 24));
    }
    b.resize(240, 0);
    return b;
}

void putLE32(Bytes& b, std::size_t offset, std::uint32_t v) {
    put(b, offset,
        {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8),
         static_cast<std::uint8_t>(v >> 16), static_cast<std::uint8_t>(v >> 24)});
}

TEST(AnalogRequests, SingleChannelFramesUseTheModelWidth) {
    OpenedUnits u({{110, 9}, {111, 10}, {112, 12}, {113, 14}});
    ASSERT_TRUE(u.allOpen());
    u.fake(0).setData({0x34, 0x12, 0x99});
    u.fake(2).setData({0x7F, 0xAA});
    std::int32_t v = 0x5555;

    // 16-bit input: two bytes; 8-bit: one byte, the next reply byte ignored.
    EXPECT_EQ(lib().ReadAIO(u.handle(0), 3, &v), KELVO_STATUS_OK);
    EXPECT_EQ(v, 0x1234);
    EXPECT_EQ(lib().ReadAIO(u.handle(0), 0x10F, &v), KELVO_STATUS_OK);  // channel 15
    EXPECT_EQ(lib().ReadAIO(u.handle(2), 5, &v), KELVO_STATUS_OK);
    EXPECT_EQ(v, 0x7F);
    // 12-bit output: two bytes, bits beyond them dropped.
    EXPECT_EQ(lib().WriteAIO(u.handle(1), 2, 0x12345), KELVO_STATUS_OK);
    EXPECT_EQ(lib().WriteAIO(u.handle(1), 3, -1), KELVO_STATUS_OK);
    // 8-bit output: one byte.
    EXPECT_EQ(lib().WriteAIO(u.handle(3), 7, 0x1FF), KELVO_STATUS_OK);

    auto in16 = sent(u.fake(0), 2);
    ASSERT_EQ(in16.size(), 2u);
    EXPECT_EQ(hex(in16[0]), hex(Bytes{0x11, 0x00, 0x00, 0x03, 0x02, 0x00, 0x00, 0x00}));
    EXPECT_EQ(hex(in16[1]), hex(readChannelFrame(1, 0x0F, 2)));
    auto in8 = sent(u.fake(2), 1);
    ASSERT_EQ(in8.size(), 1u);
    EXPECT_EQ(hex(in8[0]), hex(readChannelFrame(0, 5, 1)));
    auto out12 = sent(u.fake(1), 2);
    ASSERT_EQ(out12.size(), 2u);
    Bytes w = frameOf({0x21, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x00}, 24);
    put(w, 16, {0x45, 0x23});
    EXPECT_EQ(hex(out12[0]), hex(w));
    w = frameOf({0x21, 0x00, 0x01, 0x03}, 24);
    put(w, 16, {0xFF, 0xFF});
    EXPECT_EQ(hex(out12[1]), hex(w));
    auto out8 = sent(u.fake(3), 1);
    ASSERT_EQ(out8.size(), 1u);
    w = frameOf({0x21, 0x00, 0x00, 0x07}, 24);
    put(w, 16, {0xFF});
    EXPECT_EQ(hex(out8[0]), hex(w));
}

TEST(AnalogValues, SingleReadsAreSignExtendedFromTheModelWidth) {
    OpenedUnits u({{114, 9}, {115, 19}, {116, 11}, {117, 13}});
    ASSERT_TRUE(u.allOpen());
    struct Case {
        std::size_t unit;
        bool counter;
        Bytes reply;
        std::int32_t expect;
    };
    const Case cases[] = {
        {0, false, {0x00, 0x80}, -32768}, {0, false, {0xFF, 0x7F}, 32767},
        {1, false, {0x00, 0x80}, -32768}, {1, false, {0xFF, 0xFF}, -1},
        {2, true, {0xFF, 0xFF}, -1},      {2, true, {0xFF, 0x7F}, 32767},
        {2, false, {0x01, 0x80}, -32767}, {3, false, {0x80, 0xFF}, -128},
        {3, false, {0x7F, 0xFF}, 127},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(hex(c.reply));
        u.fake(c.unit).setData(c.reply);
        std::int32_t v = 0x5555;
        auto read = c.counter ? lib().ReadCOU : lib().ReadAIO;
        EXPECT_EQ(read(u.handle(c.unit), 1, &v), KELVO_STATUS_OK);
        EXPECT_EQ(v, c.expect);
    }
    // The counter travels as a 2-byte channel read.
    auto req = sent(u.fake(2), 3);
    ASSERT_EQ(req.size(), 3u);
    EXPECT_EQ(hex(req[0]), hex(readChannelFrame(0, 1, 2)));
}

TEST(AnalogRanges, ChannelsBelowInputsAndOutputs) {
    // counter (2 in, 2 out), 12-bit output (0 in, 4 out), 16-bit input
    // (16 in, 0 out), row 0 and a code without a row.
    OpenedUnits u({{118, 11}, {119, 10}, {120, 9}, {121, 0}, {122, 25}});
    ASSERT_TRUE(u.allOpen());
    struct Probe {
        std::size_t unit;
        std::uint32_t channel;
        bool readable;
        bool writable;
    };
    const Probe probes[] = {
        {0, 0, true, true},     {0, 1, true, true},      {0, 2, false, false},
        {0, 0x101, true, true}, {0, 0xFF, false, false}, {1, 0, false, true},
        {1, 3, false, true},    {1, 4, false, false},    {2, 0, true, false},
        {2, 15, true, false},   {2, 16, false, false},   {2, 0x100, true, false},
        {3, 0, false, false},   {4, 0, false, false},
    };
    std::size_t expected[5] = {};
    for (const Probe& p : probes) {
        SCOPED_TRACE("unit " + std::to_string(p.unit) + " channel " + std::to_string(p.channel));
        KELVO_HANDLE h = u.handle(p.unit);
        const std::uint16_t rs = p.readable ? KELVO_STATUS_OK : KELVO_STATUS_BAD_CHANNEL;
        const std::uint16_t ws = p.writable ? KELVO_STATUS_OK : KELVO_STATUS_BAD_CHANNEL;
        std::int32_t v = 0x5555;
        EXPECT_EQ(lib().ReadAIO(h, p.channel, &v), rs);
        if (!p.readable) {
            EXPECT_EQ(v, 0);
        }
        v = 0x5555;
        EXPECT_EQ(lib().ReadCOU(h, p.channel, &v), rs);
        if (!p.readable) {
            EXPECT_EQ(v, 0);
        }
        EXPECT_EQ(lib().WriteAIO(h, p.channel, 7), ws);
        EXPECT_EQ(lib().WriteCOU(h, p.channel, 7), ws);
        const std::size_t before = expected[p.unit];
        expected[p.unit] += (p.readable ? 2 : 0) + (p.writable ? 2 : 0);
        auto req = sent(u.fake(p.unit), expected[p.unit]);
        ASSERT_EQ(req.size(), expected[p.unit]);
        for (std::size_t i = before; i < req.size(); ++i) {
            EXPECT_EQ(req[i][2], static_cast<std::uint8_t>(i));  // refusals do not step it
            EXPECT_EQ(req[i][3], p.channel & 0xFF);
        }
    }
}

TEST(AnalogConfigure, GainAndModeBytes) {
    OpenedUnits u({{123, 11}, {124, 1}, {125, 25}});
    ASSERT_TRUE(u.allOpen());

    EXPECT_EQ(lib().SetModeCOU(u.handle(0), 1, 3, 2), KELVO_STATUS_OK);
    EXPECT_EQ(lib().SetModeCOU(u.handle(0), 1, 3, 0x12), KELVO_STATUS_OK);
    EXPECT_EQ(lib().SetModeCOU(u.handle(0), 0x105, 0x13, 2), KELVO_STATUS_OK);
    EXPECT_EQ(lib().SetGainAIO(u.handle(0), 9, 0x1FE), KELVO_STATUS_OK);
    // Gain and mode consult no model data: any channel, any unit.
    EXPECT_EQ(lib().SetGainAIO(u.handle(1), 200, 4), KELVO_STATUS_OK);
    EXPECT_EQ(lib().SetModeCOU(u.handle(1), 0xFF, 1, 1), KELVO_STATUS_OK);
    EXPECT_EQ(lib().SetGainAIO(u.handle(2), 0, 7), KELVO_STATUS_OK);

    auto c = sent(u.fake(0), 4);
    ASSERT_EQ(c.size(), 4u);
    EXPECT_EQ(hex(c[0]),
              hex(Bytes{0x24, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                        0x00, 0x00, 0x00, 0x00, 0x23, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}));
    EXPECT_EQ(hex(c[1]), hex(configFrame(1, 1, 0x23)));
    EXPECT_EQ(hex(c[2]), hex(configFrame(2, 5, 0x33)));
    EXPECT_EQ(hex(c[3]), hex(configFrame(3, 9, 0xFE)));
    auto d = sent(u.fake(1), 2);
    ASSERT_EQ(d.size(), 2u);
    EXPECT_EQ(hex(d[0]), hex(configFrame(0, 200, 4)));
    EXPECT_EQ(hex(d[1]), hex(configFrame(1, 0xFF, 0x11)));
    auto n = sent(u.fake(2), 1);
    ASSERT_EQ(n.size(), 1u);
    EXPECT_EQ(hex(n[0]), hex(configFrame(0, 0, 7)));
}

TEST(AnalogMultiRead, ChannelListIsASetInAscendingOrder) {
    OpenedUnit u(126, 9);  // 16 inputs
    ASSERT_NE(u.handle, nullptr);
    u.fake.setData(
        channelBlock({0x1000, 0x1001, 0x1002, 0x1003, 0x1004, 0x8000, 0xFFFF8000, 0x1007, 0x1008,
                      0x1009, 0x100A, 0x100B, 0x100C, 0x100D, 0x100E, 0x2000F, 0x10010}));
    std::int32_t v[4];
    auto reset = [&v] {
        for (auto& x : v) x = 0x5555;
    };

    const std::uint8_t unordered[] = {3, 1};
    reset();
    EXPECT_EQ(lib().MultiReadAIO(u.handle, 2, unordered, v), KELVO_STATUS_OK);
    EXPECT_EQ(v[0], 0x1001);
    EXPECT_EQ(v[1], 0x1003);

    const std::uint8_t repeated[] = {1, 1};
    reset();
    EXPECT_EQ(lib().MultiReadAIO(u.handle, 2, repeated, v), KELVO_STATUS_OK);
    EXPECT_EQ(v[0], 0x1001);
    EXPECT_EQ(v[1], 0);

    // Channels outside the unit are skipped without an error.
    const std::uint8_t outside[] = {40, 2};
    reset();
    EXPECT_EQ(lib().MultiReadAIO(u.handle, 2, outside, v), KELVO_STATUS_OK);
    EXPECT_EQ(v[0], 0x1002);
    EXPECT_EQ(v[1], 0);

    // Entries come back as the unit sent them: no sign extension.
    const std::uint8_t wide[] = {16, 15, 6, 5};
    reset();
    EXPECT_EQ(lib().MultiReadAIO(u.handle, 4, wide, v), KELVO_STATUS_OK);
    EXPECT_EQ(v[0], 0x8000);
    EXPECT_EQ(v[1], static_cast<std::int32_t>(0xFFFF8000u));
    EXPECT_EQ(v[2], 0x2000F);
    EXPECT_EQ(v[3], 0);

    reset();
    EXPECT_EQ(lib().MultiReadAIO(u.handle, 0, unordered, v), KELVO_STATUS_OK);
    EXPECT_EQ(v[0], 0x5555);  // nothing stored

    auto req = sent(u.fake, 5);
    ASSERT_EQ(req.size(), 5u);  // one exchange per call, count 0 included
    for (std::size_t i = 0; i < req.size(); ++i) {
        EXPECT_EQ(
            hex(req[i]),
            hex(frameOf({0x11, 0x00, static_cast<std::uint8_t>(i), 0xFF, 0xF0, 0x00, 0x00, 0x00},
                        8)));
    }
}

TEST(AnalogMultiWrite, ValuesGoToTheSelectedChannelsInAscendingOrder) {
    OpenedUnits u({{127, 10}, {128, 14}});  // 4 and 8 outputs
    ASSERT_TRUE(u.allOpen());
    const std::int32_t ab[] = {0x11223344, -2, 0x55};

    const std::uint8_t twoZero[] = {2, 0};
    EXPECT_EQ(lib().MultiWriteAIO(u.handle(0), 2, twoZero, ab), KELVO_STATUS_OK);
    const std::uint8_t nineOne[] = {9, 1};
    EXPECT_EQ(lib().MultiWriteAIO(u.handle(0), 2, nineOne, ab), KELVO_STATUS_OK);
    EXPECT_EQ(lib().MultiWriteAIO(u.handle(0), 0, nineOne, ab), KELVO_STATUS_OK);
    const std::uint8_t repeated[] = {3, 3, 1};
    EXPECT_EQ(lib().MultiWriteAIO(u.handle(0), 3, repeated, ab), KELVO_STATUS_OK);
    const std::uint8_t highLow[] = {7, 0};
    EXPECT_EQ(lib().MultiWriteAIO(u.handle(1), 2, highLow, ab), KELVO_STATUS_OK);

    auto req = sent(u.fake(0), 4);
    ASSERT_EQ(req.size(), 4u);
    Bytes e = frameOf({0x21, 0x00, 0x00, 0xFF, 0x00, 0x00, 0x00, 0x00}, 80);
    put(e, 8, {0x05, 0x00, 0x00, 0x00});
    put(e, 16, {0x44, 0x33, 0x22, 0x11});  // first value to channel 0
    put(e, 24, {0xFE, 0xFF, 0xFF, 0xFF});  // second to channel 2
    EXPECT_EQ(hex(req[0]), hex(e));
    e = frameOf({0x21, 0x00, 0x01, 0xFF}, 80);
    put(e, 8, {0x02});
    putLE32(e, 20, 0x11223344);
    EXPECT_EQ(hex(req[1]), hex(e));
    EXPECT_EQ(hex(req[2]), hex(frameOf({0x21, 0x00, 0x02, 0xFF}, 80)));
    e = frameOf({0x21, 0x00, 0x03, 0xFF}, 80);
    put(e, 8, {0x0A});
    putLE32(e, 20, 0x11223344);
    putLE32(e, 28, 0xFFFFFFFE);
    EXPECT_EQ(hex(req[3]), hex(e));

    auto high = sent(u.fake(1), 1);
    ASSERT_EQ(high.size(), 1u);
    e = frameOf({0x21, 0x00, 0x00, 0xFF}, 80);
    put(e, 8, {0x81});
    putLE32(e, 16, 0x11223344);
    putLE32(e, 44, 0xFFFFFFFE);
    EXPECT_EQ(hex(high[0]), hex(e));
}

TEST(AnalogFailures, UnknownHandleAndFailedExchangeZeroTheOutputs) {
    OpenedUnit u(129, 11);  // counter: 2 channels both ways
    ASSERT_NE(u.handle, nullptr);
    u.fake.setData(channelBlock({0x7777, 0x6666}));
    const std::uint8_t chans[] = {0, 1};
    const std::int32_t vals[] = {1, 2};

    auto everyCall = [&](KELVO_HANDLE h, std::uint16_t status) {
        std::int32_t v = 0x5555;
        EXPECT_EQ(lib().ReadAIO(h, 1, &v), status);
        EXPECT_EQ(v, 0);
        v = 0x5555;
        EXPECT_EQ(lib().ReadCOU(h, 1, &v), status);
        EXPECT_EQ(v, 0);
        std::int32_t mv[2] = {0x5555, 0x5555};
        EXPECT_EQ(lib().MultiReadAIO(h, 2, chans, mv), status);
        EXPECT_EQ(mv[0], 0);
        EXPECT_EQ(mv[1], 0);
        EXPECT_EQ(lib().WriteAIO(h, 1, 5), status);
        EXPECT_EQ(lib().WriteCOU(h, 1, 5), status);
        EXPECT_EQ(lib().MultiWriteAIO(h, 2, chans, vals), status);
        EXPECT_EQ(lib().SetGainAIO(h, 1, 1), status);
        EXPECT_EQ(lib().SetModeCOU(h, 1, 1, 1), status);
    };
    {
        SCOPED_TRACE("null handle");
        everyCall(nullptr, KELVO_STATUS_NOT_OPEN);
    }
    {
        SCOPED_TRACE("stranger handle");
        everyCall(strangerHandle(), KELVO_STATUS_NOT_OPEN);
    }
    EXPECT_TRUE(u.fake.requests().empty());

    // Every reply carries status 1: each call fails after its one exchange,
    // and each exchange steps the sequence counter.
    u.fake.setResponder([](const Bytes& r) { return failingReply(r); });
    {
        SCOPED_TRACE("failed exchange");
        everyCall(u.handle, KELVO_STATUS_COMM_ERROR);
    }
    auto req = sent(u.fake, 8);
    ASSERT_EQ(req.size(), 8u);
    for (std::size_t i = 0; i < req.size(); ++i) EXPECT_EQ(req[i][2], i);
}

}  // namespace
}  // namespace kelvotest::io
