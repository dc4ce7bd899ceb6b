// The per-unit sampling settings through the public C API: what the getters
// read back, how the record looks inside the start and stop requests, the
// flag and trigger-data overlays, and that no settings call touches the
// network. Addresses 127.0.0.140 to 127.0.0.159.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>

#include "io_helpers.h"

namespace kelvotest::io {
namespace {

// The settings payload of a start (1) or stop (2) request, from byte 8:
// `payload` holds request bytes 10..33.
Bytes controlFrame(std::uint8_t seq, std::uint8_t code,
                   const std::array<std::uint8_t, 24>& payload) {
    Bytes b = frameOf({0x2B, 0x00, seq, 0x00, 0x00, 0x00, 0x00, 0x00, code, 0x00}, 36);
    for (std::size_t i = 0; i < payload.size(); ++i) b[10 + i] = payload[i];
    return b;
}

// Calls every settings export once with harmless values and expects `status`
// from each; getters must leave their outputs alone unless it is OK.
void callEverySetting(KELVO_HANDLE h, std::uint16_t status) {
    const std::uint8_t pair[2] = {1, 2};
    const std::uint8_t chans[2] = {0, 9};
    std::uint8_t a = 0xEE, b = 0xEE, cnt = 2;
    std::uint8_t p1[2] = {0xEE, 0xEE}, p2[2] = {0xEE, 0xEE};
    std::uint16_t v16 = 0xEEEE;
    std::uint32_t v32 = 0xEEEEEEEE;
    EXPECT_EQ(lib().SetMemSamplingCycleDIO(h, 4, 1), status);
    EXPECT_EQ(lib().SetMemSamplingCycleAI(h, 4, 1), status);
    EXPECT_EQ(lib().SetMemTrgDataDIO(h, 2, pair, pair), status);
    EXPECT_EQ(lib().SetMemTriggerDIO(h, 1, 0x10, 7), status);
    EXPECT_EQ(lib().SetMemTriggerAIO(h, 1, 0x10, 7), status);
    EXPECT_EQ(lib().SetMemOutputModeAO(h, 8), status);
    EXPECT_EQ(lib().SetMemTargetChannelAI(h, 2, chans), status);
    EXPECT_EQ(lib().SetMemSamplingFreqAO(h, 4, 1000), status);
    EXPECT_EQ(lib().SetMemTrgDataAI(h, 1, 2), status);
    if (status == KELVO_STATUS_OK) return;  // the getters' values are other tests' business
    EXPECT_EQ(lib().GetMemSamplingCycleDIO(h, &a, &b), status);
    EXPECT_EQ(lib().GetMemSamplingCycleAI(h, &a, &b), status);
    EXPECT_EQ(lib().GetMemTrgDataDIO(h, &cnt, p1, p2), status);
    EXPECT_EQ(lib().GetMemTriggerDIO(h, &a, &b, &v16), status);
    EXPECT_EQ(lib().GetMemTriggerAIO(h, &a, &b, &v16), status);
    EXPECT_EQ(lib().GetMemOutputModeAO(h, &a), status);
    EXPECT_EQ(lib().GetMemSamplingFreqAO(h, &a, &v32), status);
    EXPECT_EQ(lib().GetMemTrgDataAI(h, &a, &b), status);
    EXPECT_EQ(a, 0xEE);
    EXPECT_EQ(b, 0xEE);
    EXPECT_EQ(p1[0], 0xEE);
    EXPECT_EQ(p2[1], 0xEE);
    EXPECT_EQ(v16, 0xEEEE);
    EXPECT_EQ(v32, 0xEEEEEEEEu);
}

TEST(SamplingSettings, FreshEntryReadsZero) {
    OpenedUnit u(140, 9);
    ASSERT_NE(u.handle, nullptr);
    std::uint8_t a = 0xEE, b = 0xEE, cnt = 2;
    std::uint8_t p1[2] = {0xEE, 0xEE}, p2[2] = {0xEE, 0xEE};
    std::uint16_t v16 = 0xEEEE;
    std::uint32_t v32 = 0xEEEEEEEE;

    EXPECT_EQ(lib().GetMemSamplingCycleDIO(u.handle, &a, &b), KELVO_STATUS_OK);
    EXPECT_EQ(a, 0);
    EXPECT_EQ(b, 0);
    a = b = 0xEE;
    EXPECT_EQ(lib().GetMemSamplingCycleAI(u.handle, &a, &b), KELVO_STATUS_OK);
    EXPECT_EQ(a, 0);
    EXPECT_EQ(b, 0);
    a = b = 0xEE;
    EXPECT_EQ(lib().GetMemTriggerDIO(u.handle, &a, &b, &v16), KELVO_STATUS_OK);
    EXPECT_EQ(a, 0);
    EXPECT_EQ(b, 0);
    EXPECT_EQ(v16, 0);
    a = b = 0xEE;
    v16 = 0xEEEE;
    EXPECT_EQ(lib().GetMemTriggerAIO(u.handle, &a, &b, &v16), KELVO_STATUS_OK);
    EXPECT_EQ(a, 0);
    EXPECT_EQ(b, 0);
    EXPECT_EQ(v16, 0);
    a = 0xEE;
    EXPECT_EQ(lib().GetMemOutputModeAO(u.handle, &a), KELVO_STATUS_OK);
    EXPECT_EQ(a, 0);
    a = 0xEE;
    EXPECT_EQ(lib().GetMemSamplingFreqAO(u.handle, &a, &v32), KELVO_STATUS_OK);
    EXPECT_EQ(a, 0);
    EXPECT_EQ(v32, 0u);
    a = b = 0xEE;
    EXPECT_EQ(lib().GetMemTrgDataAI(u.handle, &a, &b), KELVO_STATUS_OK);
    EXPECT_EQ(a, 0);
    EXPECT_EQ(b, 0);
    EXPECT_EQ(lib().GetMemTrgDataDIO(u.handle, &cnt, p1, p2), KELVO_STATUS_OK);
    EXPECT_EQ(hex(Bytes{p1[0], p1[1], p2[0], p2[1]}), hex(Bytes{0, 0, 0, 0}));

    // A start with the untouched record carries zeros only.
    ASSERT_EQ(lib().MemStartDIO(u.handle), KELVO_STATUS_OK);
    auto req = sent(u.fake, 1);
    ASSERT_EQ(req.size(), 1u);
    EXPECT_EQ(hex(req[0]), hex(frameOf({0x2B, 0, 0, 0, 0, 0, 0, 0, 0x01}, 36)));
}

TEST(SamplingSettings, RecordTravelsInTheStartAndStopRequests) {
    OpenedUnit u(141, 9);
    ASSERT_NE(u.handle, nullptr);
    KELVO_HANDLE h = u.handle;
    const std::uint8_t list[] = {0, 7, 8, 15, 16, 200};
    const std::uint8_t d1[] = {0x01, 0x02};
    const std::uint8_t d2[] = {0x03, 0x04};

    ASSERT_EQ(lib().SetMemTriggerDIO(h, 0x03, 0x20, 0x1234), KELVO_STATUS_OK);
    ASSERT_EQ(lib().SetMemTargetChannelAI(h, 6, list), KELVO_STATUS_OK);
    ASSERT_EQ(lib().SetMemSamplingCycleDIO(h, 0x04, 10), KELVO_STATUS_OK);
    ASSERT_EQ(lib().SetMemSamplingFreqAO(h, 0x04, 0x12345678), KELVO_STATUS_OK);
    ASSERT_EQ(lib().SetMemTrgDataDIO(h, 0, d1, d2), KELVO_STATUS_OK);
    ASSERT_EQ(lib().MemStartDIO(h), KELVO_STATUS_OK);

    // The analog trigger data replaces bytes 22 and 24 of the record only;
    // the output mode adds its flag.
    ASSERT_EQ(lib().SetMemTrgDataAI(h, 3, 0x80), KELVO_STATUS_OK);
    ASSERT_EQ(lib().SetMemOutputModeAO(h, 0x08), KELVO_STATUS_OK);
    ASSERT_EQ(lib().MemStopAIO(h), KELVO_STATUS_OK);

    // The channel map is replaced whole; count 0 clears it.
    ASSERT_EQ(lib().SetMemTargetChannelAI(h, 0, list), KELVO_STATUS_OK);
    ASSERT_EQ(lib().MemStartAIO(h), KELVO_STATUS_OK);

    auto req = sent(u.fake, 3);
    ASSERT_EQ(req.size(), 3u);
    EXPECT_EQ(hex(req[0]),
              hex(Bytes{0x2B, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x34, 0x12,
                        0x81, 0x81, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x04, 0x0A, 0x00, 0x00,
                        0x78, 0x56, 0x34, 0x00, 0x23, 0x00, 0x01, 0x02, 0x03, 0x04, 0x00, 0x00}));
    EXPECT_EQ(hex(req[1]),
              hex(controlFrame(1, 0x02,
                               {0x34, 0x12, 0x81, 0x81, 0, 0,    0, 0,    0,    0,    0x0C, 0x0A, 0,
                                0,    0x78, 0x56, 0x34, 0, 0x23, 0, 0x03, 0x02, 0x80, 0x04})));
    EXPECT_EQ(hex(req[2]),
              hex(controlFrame(2, 0x01,
                               {0x34, 0x12, 0x00, 0x00, 0, 0,    0, 0,    0,    0,    0x0C, 0x0A, 0,
                                0,    0x78, 0x56, 0x34, 0, 0x23, 0, 0x03, 0x02, 0x80, 0x04})));
}

TEST(SamplingSettings, FlagsShareOneByte) {
    OpenedUnit u(142, 10);
    ASSERT_NE(u.handle, nullptr);
    KELVO_HANDLE h = u.handle;
    std::uint8_t timing = 0xEE, cycle = 0xEE, mode = 0xEE;
    std::uint32_t freq = 0;

    ASSERT_EQ(lib().SetMemSamplingCycleDIO(h, 0x04, 10), KELVO_STATUS_OK);
    ASSERT_EQ(lib().SetMemOutputModeAO(h, 0x08), KELVO_STATUS_OK);
    EXPECT_EQ(lib().GetMemSamplingCycleDIO(h, &timing, &cycle), KELVO_STATUS_OK);
    EXPECT_EQ(timing, 0x04);
    EXPECT_EQ(cycle, 10);
    EXPECT_EQ(lib().GetMemOutputModeAO(h, &mode), KELVO_STATUS_OK);
    EXPECT_EQ(mode, 0x08);

    // The frequency shares the timing flag with both cycles.
    ASSERT_EQ(lib().SetMemSamplingFreqAO(h, 0x00, 0x12345678), KELVO_STATUS_OK);
    EXPECT_EQ(lib().GetMemSamplingFreqAO(h, &timing, &freq), KELVO_STATUS_OK);
    EXPECT_EQ(timing, 0x00);
    EXPECT_EQ(freq, 0x00345678u);
    EXPECT_EQ(lib().GetMemSamplingCycleAI(h, &timing, &cycle), KELVO_STATUS_OK);
    EXPECT_EQ(timing, 0x00);
    EXPECT_EQ(cycle, 10);
    EXPECT_EQ(lib().GetMemOutputModeAO(h, &mode), KELVO_STATUS_OK);
    EXPECT_EQ(mode, 0x08);
    ASSERT_EQ(lib().MemStartDIO(h), KELVO_STATUS_OK);  // flags 0x08

    // A bit outside the kind's own is ORed in and stays; getters hide it.
    // Only the low 8 bits of each argument count.
    ASSERT_EQ(lib().SetMemSamplingCycleAI(h, 0x101, 0x10B), KELVO_STATUS_OK);
    EXPECT_EQ(lib().GetMemSamplingCycleDIO(h, &timing, &cycle), KELVO_STATUS_OK);
    EXPECT_EQ(timing, 0x00);
    EXPECT_EQ(cycle, 0x0B);
    ASSERT_EQ(lib().SetMemOutputModeAO(h, 0x00), KELVO_STATUS_OK);
    ASSERT_EQ(lib().SetMemSamplingFreqAO(h, 0x04, 0x01), KELVO_STATUS_OK);
    ASSERT_EQ(lib().MemStartDIO(h), KELVO_STATUS_OK);  // flags 0x05

    auto req = sent(u.fake, 2);
    ASSERT_EQ(req.size(), 2u);
    EXPECT_EQ(req[0][20], 0x08);
    EXPECT_EQ(req[0][21], 10);
    EXPECT_EQ(hex(req[1]), hex(controlFrame(1, 0x01, {0, 0, 0,    0, 0, 0, 0, 0, 0, 0, 0x05, 0x0B,
                                                      0, 0, 0x01, 0, 0, 0, 0, 0, 0, 0, 0,    0})));
}

TEST(SamplingSettings, TriggerCodesAndTriggerData) {
    OpenedUnit u(143, 19);
    ASSERT_NE(u.handle, nullptr);
    KELVO_HANDLE h = u.handle;
    std::uint8_t lower = 0, upper = 0, ch = 0, data = 0;
    std::uint16_t value = 0;

    ASSERT_EQ(lib().SetMemTriggerDIO(h, 0x03, 0x20, 0x1234), KELVO_STATUS_OK);
    EXPECT_EQ(lib().GetMemTriggerAIO(h, &lower, &upper, &value), KELVO_STATUS_OK);
    EXPECT_EQ(lower, 0x03);
    EXPECT_EQ(upper, 0x20);
    EXPECT_EQ(value, 0x1234);
    // The codes are ORed unmasked and split by nibble; the value is 16 bits.
    ASSERT_EQ(lib().SetMemTriggerAIO(h, 0x13, 0x00, 0x1ABCD), KELVO_STATUS_OK);
    EXPECT_EQ(lib().GetMemTriggerDIO(h, &lower, &upper, &value), KELVO_STATUS_OK);
    EXPECT_EQ(lower, 0x03);
    EXPECT_EQ(upper, 0x10);
    EXPECT_EQ(value, 0xABCD);

    const std::uint8_t d1[] = {0x01, 0x02};
    const std::uint8_t d2[] = {0x03, 0x04};
    ASSERT_EQ(lib().SetMemTrgDataDIO(h, 7, d1, d2), KELVO_STATUS_OK);  // count ignored
    ASSERT_EQ(lib().SetMemTrgDataAI(h, 3, 0x80), KELVO_STATUS_OK);
    std::uint8_t two = 2, one = 1, three = 3;
    std::uint8_t o1[2] = {0xEE, 0xEE}, o2[2] = {0xEE, 0xEE};
    EXPECT_EQ(lib().GetMemTrgDataDIO(h, &one, o1, o2), KELVO_STATUS_OK);
    EXPECT_EQ(lib().GetMemTrgDataDIO(h, &three, o1, o2), KELVO_STATUS_OK);
    EXPECT_EQ(hex(Bytes{o1[0], o1[1], o2[0], o2[1]}), hex(Bytes{0xEE, 0xEE, 0xEE, 0xEE}));
    EXPECT_EQ(lib().GetMemTrgDataDIO(h, &two, o1, o2), KELVO_STATUS_OK);
    EXPECT_EQ(hex(Bytes{o1[0], o1[1], o2[0], o2[1]}), hex(Bytes{0x03, 0x02, 0x80, 0x04}));
    EXPECT_EQ(lib().GetMemTrgDataAI(h, &ch, &data), KELVO_STATUS_OK);
    EXPECT_EQ(ch, 3);
    EXPECT_EQ(data, 0x80);

    // The analog trigger channel must be below 16, checked before the handle.
    EXPECT_EQ(lib().SetMemTrgDataAI(h, 0x10F, 0x155), KELVO_STATUS_OK);
    EXPECT_EQ(lib().SetMemTrgDataAI(h, 16, 0x11), KELVO_STATUS_BAD_SETTING);
    EXPECT_EQ(lib().SetMemTrgDataAI(h, 255, 0x11), KELVO_STATUS_BAD_SETTING);
    EXPECT_EQ(lib().SetMemTrgDataAI(nullptr, 16, 0x11), KELVO_STATUS_BAD_SETTING);
    EXPECT_EQ(lib().SetMemTrgDataAI(strangerHandle(), 200, 0x11), KELVO_STATUS_BAD_SETTING);
    EXPECT_EQ(lib().SetMemTrgDataAI(nullptr, 15, 0x11), KELVO_STATUS_NOT_OPEN);
    EXPECT_EQ(lib().GetMemTrgDataAI(h, &ch, &data), KELVO_STATUS_OK);
    EXPECT_EQ(ch, 15);
    EXPECT_EQ(data, 0x55);
    EXPECT_TRUE(u.fake.requests().empty());
}

TEST(SamplingSettings, NoTrafficAndUnknownHandles) {
    OpenedUnit u(144, 16);
    ASSERT_NE(u.handle, nullptr);
    ASSERT_TRUE(u.fake.waitForAccepted(1, 2000));
    const int accepted = u.fake.connectionsAccepted();

    {
        SCOPED_TRACE("connected");
        callEverySetting(u.handle, KELVO_STATUS_OK);
    }
    ASSERT_EQ(lib().Close(u.handle), 1);
    {
        SCOPED_TRACE("not connected");
        callEverySetting(u.handle, KELVO_STATUS_OK);
        std::uint8_t timing = 0, cycle = 0;
        EXPECT_EQ(lib().GetMemSamplingCycleDIO(u.handle, &timing, &cycle), KELVO_STATUS_OK);
        EXPECT_EQ(timing, 0x04);
        EXPECT_EQ(cycle, 1);
    }
    {
        SCOPED_TRACE("null handle");
        callEverySetting(nullptr, KELVO_STATUS_NOT_OPEN);
    }
    {
        SCOPED_TRACE("stranger handle");
        callEverySetting(strangerHandle(), KELVO_STATUS_NOT_OPEN);
    }
    EXPECT_TRUE(u.fake.requests().empty());
    EXPECT_EQ(u.fake.connectionsAccepted(), accepted);
}

}  // namespace
}  // namespace kelvotest::io
