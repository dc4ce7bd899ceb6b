// Unit behaviour, fed with request bytes: no sockets, explicit times.
#include "sim/model.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <utility>

namespace sim {
namespace {

using namespace kelvo;

constexpr Nanos SECOND = NANOS_PER_SECOND;

Unit makeUnit(std::uint8_t code, std::size_t memory = DEFAULT_MEMORY_SIZE) {
    return Unit(Identity{findModel(code), 7, 0x5A, 0x7F000002, {}}, memory);
}

// A request of `size` bytes: header fields, then (offset, value) pairs.
CommandFrame request(std::uint8_t command, std::uint8_t seq, std::uint8_t selector,
                     std::uint8_t length, std::uint8_t flags = 0,
                     std::initializer_list<std::pair<std::size_t, std::uint8_t>> bytes = {}) {
    CommandFrame f{};
    f[0] = command;
    f[2] = seq;
    f[3] = selector;
    f[4] = length;
    f[5] = flags;
    for (auto [offset, value] : bytes) f[offset] = value;
    return f;
}

Reply send(Unit& unit, const CommandFrame& f, std::size_t size, Nanos now = 0) {
    return unit.handle(f.data(), size, now);
}

std::int32_t readChannel(Unit& unit, std::uint8_t channel, Nanos now, std::uint8_t width = 2) {
    const Reply r = send(unit, request(CMD_READ, 0, channel, width), 8, now);
    std::uint32_t v = 0;
    for (std::size_t i = 0; i < width; ++i) v |= std::uint32_t{r.bytes[16 + i]} << (8 * i);
    return static_cast<std::int32_t>(v);
}

TEST(UnitModel, IdentificationAndVersionReplies) {
    Unit unit = makeUnit(3);
    for (std::uint8_t askVersion : {std::uint8_t{0}, INFO_VERSION}) {
        const Reply r = send(unit, request(CMD_INFO, 0x42, 0, askVersion), 8);
        EXPECT_EQ(r.bytes[0], 0x92);
        EXPECT_EQ(r.bytes[1], 0);
        EXPECT_EQ(r.bytes[2], 0x42);
        ASSERT_GE(r.size, 25u);
        EXPECT_EQ(r.bytes[16], 3);     // model code
        EXPECT_EQ(r.bytes[17], 0x5A);  // aux byte
        EXPECT_EQ(r.bytes[18], 7);     // unit ID
        EXPECT_EQ(r.bytes[19], FIRMWARE_MAJOR);
        EXPECT_EQ(r.bytes[20], FIRMWARE_MINOR);
        EXPECT_EQ(r.bytes[21], FIRMWARE_YEAR);
        EXPECT_EQ(r.bytes[22], FIRMWARE_MONTH);
        EXPECT_EQ(r.bytes[23], FIRMWARE_DAY);
        EXPECT_EQ(r.bytes[24], HARDWARE_INFO);
    }
}

TEST(UnitModel, RequestLengthsPerCommandAndKind) {
    for (std::uint8_t c : {CMD_READ, CMD_INFO, CMD_MEM_READ, CMD_MEM_STATUS}) {
        EXPECT_EQ(requestLength(c, 0xFF, Kind::AnalogIn), 8u);
    }
    EXPECT_EQ(requestLength(CMD_WRITE, 0xFF, Kind::AnalogOut), 80u);
    EXPECT_EQ(requestLength(CMD_WRITE, 0xFF, Kind::AnalogIn), 80u);
    EXPECT_EQ(requestLength(CMD_WRITE, 0xFF, Kind::Counter), 24u);
    EXPECT_EQ(requestLength(CMD_WRITE, 0xFF, Kind::DigitalOut), 24u);
    EXPECT_EQ(requestLength(CMD_WRITE, 2, Kind::AnalogOut), 24u);
    EXPECT_EQ(requestLength(CMD_CONFIG, 0xFF, Kind::DigitalBidir), 24u);
    EXPECT_EQ(requestLength(CMD_MEM_CONTROL, 0, Kind::Counter), 36u);
    EXPECT_EQ(requestLength(CMD_MEM_WRITE, 0, Kind::DigitalIn), 256u);
    EXPECT_EQ(requestLength(0x42, 0, Kind::DigitalIn), 0u);
    EXPECT_EQ(requestLength(0x91, 0, Kind::DigitalIn), 0u);  // a reply code is no request
    EXPECT_TRUE(mayBeShortWrite(CMD_WRITE, 0xFF, Kind::AnalogOut));
    EXPECT_FALSE(mayBeShortWrite(CMD_WRITE, 0xFF, Kind::Counter));
    EXPECT_FALSE(mayBeShortWrite(CMD_WRITE, 1, Kind::AnalogOut));
}

TEST(UnitModel, ModelTableLookups) {
    ASSERT_NE(findModel("KV-103"), nullptr);
    EXPECT_EQ(findModel("kv-103")->code, 3);
    EXPECT_EQ(findModel("20")->name, std::string("KV-120"));
    EXPECT_EQ(findModel("KV-111")->kind, Kind::Counter);
    EXPECT_EQ(findModel(std::uint8_t{16})->inputs, 4);
    EXPECT_EQ(findModel("0"), nullptr);
    EXPECT_EQ(findModel("21"), nullptr);
    EXPECT_EQ(findModel("KV-121"), nullptr);
    EXPECT_EQ(findModel("3x"), nullptr);
    EXPECT_EQ(findModel(""), nullptr);
}

TEST(UnitModel, PortWritesMergeByMaskAndReadBackAsImage) {
    Unit unit = makeUnit(16);  // 8 ports
    CommandFrame w = request(CMD_WRITE, 1, 0xFF, 0);
    w[8] = 0xFF;  // port 0: whole byte
    w[16] = 0xA5;
    w[9] = 0x0F;  // port 1: low nibble only
    w[17] = 0xFF;
    w[15] = 0xFF;  // port 7
    w[23] = 0x3C;
    Reply r = send(unit, w, 24);
    EXPECT_EQ(r.bytes[0], 0xA1);
    EXPECT_EQ(r.bytes[1], 0);
    EXPECT_EQ(r.size, 8u);

    w = request(CMD_WRITE, 2, 0xFF, 0, 0, {{8, 0xF0}, {16, 0x00}, {9, 0xF0}, {17, 0xA0}});
    send(unit, w, 24);
    EXPECT_EQ(unit.port(0), 0x05);  // (0xA5 & ~0xF0) | (0x00 & 0xF0)
    EXPECT_EQ(unit.port(1), 0xAF);

    r = send(unit, request(CMD_READ, 3, 0xFF, 8), 8);
    EXPECT_EQ(r.size, 24u);
    EXPECT_EQ(r.bytes[4], 8);
    EXPECT_EQ(r.bytes[16], 0x05);
    EXPECT_EQ(r.bytes[17], 0xAF);
    EXPECT_EQ(r.bytes[23], 0x3C);

    // A single port by number; ports beyond the model's total stay 0.
    send(unit, request(CMD_WRITE, 4, 2, 0, 0, {{16, 0x77}}), 24);
    EXPECT_EQ(unit.port(2), 0x77);
    Unit small = makeUnit(3);  // 2 ports
    send(small, request(CMD_WRITE, 0, 0xFF, 0, 0, {{13, 0xFF}, {21, 0xFF}}), 24);
    EXPECT_EQ(small.port(5), 0);

    // An 80-byte channel-mask write is not a port write on a digital unit.
    send(unit, request(CMD_WRITE, 5, 0xFF, 0, 0, {{8, 0xFF}, {16, 0x11}}), 80);
    EXPECT_EQ(unit.port(0), 0x05);
}

TEST(UnitModel, ConfigurationByMaskAndByPosition) {
    Unit unit = makeUnit(8);
    send(unit,
         request(CMD_CONFIG, 0, 0xFF, 0, 0,
                 {{8, 0xFF}, {9, 0xFF}, {16, 0x12}, {17, 0x34}, {18, 0x56}}),
         24);
    EXPECT_EQ(unit.config(0), 0x12);
    EXPECT_EQ(unit.config(1), 0x34);
    EXPECT_EQ(unit.config(2), 0x00);  // mask byte 0: unchanged
    send(unit, request(CMD_CONFIG, 1, 2, 0, 0, {{16, 0x9F}}), 24);
    EXPECT_EQ(unit.config(2), 0x9F);
    send(unit, request(CMD_CONFIG, 2, 200, 0, 0, {{16, 0x9F}}), 24);  // no such slot
    const Reply r = send(unit, request(CMD_CONFIG, 3, 0xFF, 0), 24);
    EXPECT_EQ(r.bytes[1], 0);
    EXPECT_EQ(unit.config(0), 0x12);
}

TEST(UnitModel, AnalogInputsHoldValuesOrFollowWavesScaledByGain) {
    Unit unit = makeUnit(9);
    // Channel 3 is the first group's constant: 1000, doubled per gain step.
    EXPECT_EQ(readChannel(unit, 3, 0), 1000);
    EXPECT_EQ(readChannel(unit, 15, 0), 4000);
    send(unit, request(CMD_CONFIG, 0, 3, 0, 0, {{16, 3}}), 24);
    EXPECT_EQ(readChannel(unit, 3, SECOND / 3), 8000);
    // Without waves asked for, every channel holds its preset's start value:
    // the square channel stays at +4000, the sine at 0.
    EXPECT_EQ(readChannel(unit, 2, 3 * SECOND / 4), 4000);
    EXPECT_EQ(readChannel(unit, 0, SECOND / 8), 0);
    // A value set from outside is the signal before the gain.
    unit.setAnalogSource(3, AnalogSource{Wave::Fixed, -1500, SECOND});
    EXPECT_EQ(readChannel(unit, 3, 5 * SECOND), 0x10000 - 12000);

    unit.useSignalPreset();
    // Square wave on channel 2: +4000 in the first half second, -4000 after;
    // the 2-byte reply is the 16-bit two's complement.
    EXPECT_EQ(readChannel(unit, 2, SECOND / 4), 4000);
    EXPECT_EQ(readChannel(unit, 2, 3 * SECOND / 4), 0x10000 - 4000);
    // The sine on channel 0 moves with time.
    EXPECT_NE(readChannel(unit, 0, SECOND / 8), readChannel(unit, 0, SECOND / 2 + SECOND / 8));
    // A ramp of amplitude 100 and period 2 s on channel 5: -100 .. +100.
    unit.setAnalogSource(5, AnalogSource{Wave::Ramp, 100, 2 * SECOND});
    EXPECT_EQ(readChannel(unit, 5, 10 * SECOND), 0x10000 - 100);
    EXPECT_EQ(readChannel(unit, 5, 11 * SECOND), 0);

    // The 240-byte block: 32-bit entries, sign-extended, zero past channel 15.
    const Reply r = send(unit, request(CMD_READ, 9, 0xFF, 240), 8, 3 * SECOND / 4);
    EXPECT_EQ(r.size, 256u);
    EXPECT_EQ(r.bytes[4], 240);
    EXPECT_EQ(static_cast<std::int32_t>(getLE32(&r.bytes[16 + 4 * 2])), -4000);
    EXPECT_EQ(static_cast<std::int32_t>(getLE32(&r.bytes[16 + 4 * 3])), 8000);
    EXPECT_EQ(getLE32(&r.bytes[16 + 4 * 16]), 0u);

    // Gain 3 drives a 4000 peak to 32000, still inside 16 bits; more clamps.
    EXPECT_EQ(analogSignal(2, 0, 3), 32000);
    EXPECT_EQ(analogSignal(2, 0, 0xFF), 32000);  // only the low two bits count
    EXPECT_EQ(sourceValue(AnalogSource{Wave::Fixed, -30000, SECOND}, 0, 1), -32768);
}

TEST(UnitModel, AnalogOutputsHoldWhatWasWritten) {
    Unit unit = makeUnit(10);  // 4 outputs, 12 bits: 2 bytes per value
    send(unit, request(CMD_WRITE, 0, 1, 0, 0, {{16, 0x45}, {17, 0x23}}), 24);
    EXPECT_EQ(unit.channelValue(1, 0), 0x2345);

    // Mask mode: channels 0 and 3 take their 4-byte values; channel 2 is not
    // in the mask and channel 5 does not exist.
    CommandFrame w = request(CMD_WRITE, 1, 0xFF, 0);
    putLE32(&w[8], 0x29);  // channels 0, 3, 5
    putLE32(&w[16], 0x111);
    putLE32(&w[16 + 8], 0x333);
    putLE32(&w[16 + 12], 0x444);
    putLE32(&w[16 + 20], 0x666);
    send(unit, w, 80);
    EXPECT_EQ(unit.channelValue(0, 0), 0x111);
    EXPECT_EQ(unit.channelValue(1, 0), 0x2345);
    EXPECT_EQ(unit.channelValue(2, 0), 0);
    EXPECT_EQ(unit.channelValue(3, 0), 0x444);
    EXPECT_EQ(unit.channelValue(5, 0), 0);

    const Reply r = send(unit, request(CMD_READ, 2, 0xFF, 240), 8, 5 * SECOND);
    EXPECT_EQ(getLE32(&r.bytes[16]), 0x111u);
    EXPECT_EQ(getLE32(&r.bytes[16 + 12]), 0x444u);
}

TEST(UnitModel, CountersCountWhileTheirModeEnablesIt) {
    Unit unit = makeUnit(11);
    send(unit, request(CMD_WRITE, 0, 0, 0, 0, {{16, 100}}), 24, 0);
    EXPECT_EQ(readChannel(unit, 0, 2 * SECOND), 100);  // mode 0: holds

    send(unit, request(CMD_CONFIG, 1, 0, 0, 0, {{16, 0x01}}), 24, 2 * SECOND);  // up, 100/s
    EXPECT_EQ(readChannel(unit, 0, 3 * SECOND), 200);
    send(unit, request(CMD_CONFIG, 2, 0, 0, 0, {{16, 0x13}}), 24, 3 * SECOND);  // down, 200/s
    EXPECT_EQ(readChannel(unit, 0, 3 * SECOND + SECOND / 2), 100);
    EXPECT_EQ(readChannel(unit, 0, 4 * SECOND), 0);
    EXPECT_EQ(readChannel(unit, 0, 4 * SECOND + SECOND / 100), 0xFFFE);         // wraps in 16 bits
    send(unit, request(CMD_CONFIG, 3, 0, 0, 0, {{16, 0x00}}), 24, 5 * SECOND);  // stop
    EXPECT_EQ(readChannel(unit, 0, 60 * SECOND), 0x10000 - 200);

    // Channel 1 is untouched; channel 2 does not exist. The mask-mode write
    // of 24 bytes carries two 4-byte values.
    EXPECT_EQ(readChannel(unit, 1, 60 * SECOND), 0);
    CommandFrame w = request(CMD_WRITE, 4, 0xFF, 0, 0, {{8, 0x02}});
    putLE32(&w[20], 0x1234);
    send(unit, w, 24, 60 * SECOND);
    EXPECT_EQ(readChannel(unit, 1, 61 * SECOND), 0x1234);
    EXPECT_EQ(readChannel(unit, 2, 61 * SECOND), 0);
    EXPECT_EQ(counterRate(0xF1), 1600u);
    EXPECT_EQ(counterRate(0xF0), 0u);
}

TEST(UnitModel, SamplingRecordsInputsAtTheRequestedRate) {
    Unit unit = makeUnit(12);  // digital input, 8-byte records
    send(unit, request(CMD_WRITE, 0, 0xFF, 0, 0, {{8, 0xFF}, {16, 0x5A}}), 24);
    CommandFrame start = request(CMD_MEM_CONTROL, 1, 0, 0, 0, {{8, MEM_CONTROL_START}});
    send(unit, start, 36, SECOND);

    Reply s = send(unit, request(CMD_MEM_STATUS, 2, 0, MEM_STATUS_ASK), 8, SECOND);
    EXPECT_EQ(s.bytes[8], SAMPLING_RUNNING);
    EXPECT_EQ(getLE16(&s.bytes[10]), 1);      // one sample: one block in use
    EXPECT_EQ(getLE32(&s.bytes[20]), 1000u);  // default rate, Hz
    EXPECT_GE(s.size, 12u);

    // 1 HZ for one second: 1001 samples of 8 bytes.
    s = send(unit, request(CMD_MEM_STATUS, 3, 0, MEM_STATUS_ASK), 8, 2 * SECOND);
    EXPECT_EQ(getLE16(&s.bytes[10]), 2);
    EXPECT_EQ(unit.recordedBytes(), 8008u);
    send(unit, request(CMD_MEM_CONTROL, 4, 0, 0, 0, {{8, MEM_CONTROL_STOP}}), 36, 2 * SECOND);
    s = send(unit, request(CMD_MEM_STATUS, 5, 0, MEM_STATUS_ASK), 8, 9 * SECOND);
    EXPECT_EQ(s.bytes[8], 0);
    EXPECT_EQ(getLE16(&s.bytes[10]), 2);

    Reply r = send(unit, request(CMD_MEM_READ, 6, 0, 16, CHUNK_FIRST), 8, 9 * SECOND);
    EXPECT_EQ(r.size, 24u);
    EXPECT_EQ(r.bytes[8], 0x5A);   // sample 0, port 0
    EXPECT_EQ(r.bytes[16], 0x5A);  // sample 1, port 0

    // 100 HZ (cycle 10 x 10 us) into 4 KiB fills it and stops by itself.
    Unit full = makeUnit(12, 4096);
    start[20] = 0x04;
    start[21] = 10;
    EXPECT_EQ(samplePeriod(start.data()), 100'000);
    send(full, start, 36, 0);
    EXPECT_EQ(full.samplingStatus(SECOND), SAMPLING_MEMORY_FULL);
    EXPECT_EQ(full.recordedBytes(), 4096u);
}

TEST(UnitModel, AnalogSamplesHoldTheTargetChannels) {
    Unit unit = makeUnit(19);
    CommandFrame start = request(CMD_MEM_CONTROL, 0, 0, 0, 0, {{8, MEM_CONTROL_START}});
    start[12] = 0x08;  // channel 3 only
    start[13] = 0x80;  // and channel 15
    send(unit, start, 36, 0);
    send(unit, request(CMD_MEM_CONTROL, 1, 0, 0, 0, {{8, MEM_CONTROL_STOP}}), 36, NANOS_PER_MS);
    EXPECT_EQ(unit.recordedBytes(), 2u * 4u);  // two samples of two channels
    const Reply r = send(unit, request(CMD_MEM_READ, 2, 0, 8, CHUNK_FIRST), 8, SECOND);
    EXPECT_EQ(getLE16(&r.bytes[8]), 1000);
    EXPECT_EQ(getLE16(&r.bytes[10]), 4000);
    EXPECT_EQ(getLE16(&r.bytes[12]), 1000);
}

TEST(UnitModel, SamplePeriodFromSettings) {
    CommandFrame f{};
    EXPECT_EQ(samplePeriod(f.data()), DEFAULT_SAMPLE_PERIOD);
    f[21] = 5;
    EXPECT_EQ(samplePeriod(f.data()), 5 * NANOS_PER_MS);
    f[20] = 0x04;
    EXPECT_EQ(samplePeriod(f.data()), 50'000);
    putLE32(&f[24], 2000);  // frequency wins
    EXPECT_EQ(samplePeriod(f.data()), NANOS_PER_SECOND / 2000);
    putLE32(&f[24], 0xFFFFFF);
    EXPECT_EQ(samplePeriod(f.data()), MIN_SAMPLE_PERIOD);
}

TEST(UnitModel, MemoryTransfersFollowChunkFlagsAndPosition) {
    Unit unit = makeUnit(5, 8192);
    // 300 bytes as the library writes them: 248 with 0x80, then 52 with 0x40.
    auto chunk = [](std::uint8_t cmd, std::uint8_t length, std::uint8_t flags, std::uint8_t base) {
        CommandFrame f = request(cmd, 0, 0, length, flags);
        for (std::size_t i = 0; i < length; ++i) f[8 + i] = static_cast<std::uint8_t>(base + i);
        return f;
    };
    send(unit, chunk(CMD_MEM_WRITE, 248, CHUNK_FIRST, 0), 256);
    send(unit, chunk(CMD_MEM_WRITE, 52, CHUNK_LAST, 248), 256);
    EXPECT_EQ(unit.recordedBytes(), 300u);
    EXPECT_EQ(unit.transferPosition(), 300u);

    // Read from the start (0x80), then on from where it stopped (0x40).
    Reply r = send(unit, request(CMD_MEM_READ, 1, 0, 248, CHUNK_FIRST), 8);
    EXPECT_EQ(r.size, 256u);
    EXPECT_EQ(r.bytes[4], 248);
    EXPECT_EQ(r.bytes[8], 0);
    EXPECT_EQ(r.bytes[255], 247);
    r = send(unit, request(CMD_MEM_READ, 2, 0, 52, CHUNK_LAST), 8);
    EXPECT_EQ(r.size, 60u);
    EXPECT_EQ(r.bytes[8], 248 & 0xFF);
    EXPECT_EQ(r.bytes[59], (248 + 51) & 0xFF);

    // Seek, then a read without 0x80 starts at the seek position.
    CommandFrame seek = request(CMD_MEM_CONTROL, 3, 0, 0, 0, {{8, MEM_CONTROL_SEEK}});
    putLE32(&seek[16], 100);
    send(unit, seek, 36);
    r = send(unit, request(CMD_MEM_READ, 4, 0, 4, 0), 8);
    EXPECT_EQ(r.bytes[8], 100);
    r = send(unit, request(CMD_MEM_READ, 5, 0, 4, CHUNK_LAST), 8);
    EXPECT_EQ(r.bytes[8], 104);

    // A write without 0x80 lands at the position, too.
    send(unit, seek, 36);
    send(unit, chunk(CMD_MEM_WRITE, 2, CHUNK_LAST, 0xE0), 256);
    r = send(unit, request(CMD_MEM_READ, 6, 0, 4, CHUNK_FIRST), 8);  // position 0 again
    seek[16] = 99;
    send(unit, seek, 36);
    r = send(unit, request(CMD_MEM_READ, 7, 0, 4, 0), 8);
    EXPECT_EQ(r.bytes[8], 99);
    EXPECT_EQ(r.bytes[9], 0xE0);
    EXPECT_EQ(r.bytes[10], 0xE1);
    EXPECT_EQ(r.bytes[11], 102);

    // Past the end of memory: zeros, the reply still carries the chunk.
    putLE32(&seek[16], 8190);
    send(unit, seek, 36);
    send(unit, chunk(CMD_MEM_WRITE, 4, CHUNK_LAST, 0x70), 256);
    send(unit, seek, 36);
    r = send(unit, request(CMD_MEM_READ, 8, 0, 4, 0), 8);
    EXPECT_EQ(r.size, 12u);
    EXPECT_EQ(r.bytes[8], 0x70);
    EXPECT_EQ(r.bytes[9], 0x71);
    EXPECT_EQ(r.bytes[10], 0);
    EXPECT_EQ(r.bytes[11], 0);
    EXPECT_EQ(unit.recordedBytes(), 8192u);
}

TEST(UnitModel, UnknownCommandsAndControlCodesGetAStatus) {
    Unit unit = makeUnit(1);
    CommandFrame f = request(0x55, 9, 1, 2);
    Reply r = send(unit, f, 12);
    EXPECT_EQ(r.size, 8u);
    EXPECT_EQ(r.bytes[0], 0xD5);
    EXPECT_EQ(r.bytes[1], UNIT_STATUS_UNKNOWN_COMMAND);
    EXPECT_EQ(r.bytes[2], 9);
    r = send(unit, request(CMD_MEM_CONTROL, 10, 0, 0, 0, {{8, 7}}), 36);
    EXPECT_EQ(r.bytes[0], 0xAB);
    EXPECT_EQ(r.bytes[1], UNIT_STATUS_BAD_CONTROL);
    // A request shorter than a header still gets a header back.
    r = unit.handle(f.data(), 3, 0);
    EXPECT_EQ(r.size, 8u);
    EXPECT_EQ(r.bytes[2], 9);
}

}  // namespace
}  // namespace sim
