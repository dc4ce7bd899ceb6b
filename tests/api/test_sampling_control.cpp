// Sampling control and memory transfers through the public C API. The DIO and
// AIO names of each pair must behave identically, so every test runs once per
// family. Addresses 127.0.0.160 to 127.0.0.179.
#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "io_helpers.h"

namespace kelvotest::io {
namespace {

enum class Family { DIO, AIO };

const char* nameOf(Family f) {
    return f == Family::DIO ? "DIO" : "AIO";
}
void PrintTo(Family f, std::ostream* os) {
    *os << nameOf(f);
}

struct MemCalls {
    decltype(&::Kelvo_MemStartDIO) start;
    decltype(&::Kelvo_MemStopDIO) stop;
    decltype(&::Kelvo_MemSampleStatusDIO) status;
    decltype(&::Kelvo_MemSeekDIO) seek;
    decltype(&::Kelvo_MemReadDIO) read;
    decltype(&::Kelvo_MemSeekReadDIO) seekRead;
    decltype(&::Kelvo_MemWriteDIO) write;
    decltype(&::Kelvo_MemSeekWriteDIO) seekWrite;
};

MemCalls callsOf(Family f) {
    const Library& l = lib();
    if (f == Family::DIO) {
        return {l.MemStartDIO, l.MemStopDIO,     l.MemSampleStatusDIO, l.MemSeekDIO,
                l.MemReadDIO,  l.MemSeekReadDIO, l.MemWriteDIO,        l.MemSeekWriteDIO};
    }
    return {l.MemStartAIO, l.MemStopAIO,     l.MemSampleStatusAIO, l.MemSeekAIO,
            l.MemReadAIO,  l.MemSeekReadAIO, l.MemWriteAIO,        l.MemSeekWriteAIO};
}

class SamplingControl : public ::testing::TestWithParam<Family> {
  protected:
    MemCalls mem = callsOf(GetParam());
    // Each test owns two addresses: base for DIO, base + 1 for AIO.
    int address(int base) const { return base + (GetParam() == Family::AIO ? 1 : 0); }
};

// Contents of a memory-read reply: depends on the request's sequence number
// and the byte's place in the chunk, so that chunks can be told apart.
std::uint8_t memoryByte(std::uint8_t seq, std::size_t i) {
    return static_cast<std::uint8_t>(seq * 37 + i * 5 + 1);
}

Reply memoryReply(const Bytes& request) {
    Bytes b = FakeUnit::validReply(request);
    if (request[0] == 0x19) {
        for (std::size_t i = 0; i < request[4] && 8 + i < b.size(); ++i) {
            b[8 + i] = memoryByte(request[2], i);
        }
    }
    return Reply{b};
}

std::uint8_t sourceByte(std::size_t k) {
    return static_cast<std::uint8_t>(k * 13 + 7);
}

TEST_P(SamplingControl, StartStopAndSeekFrames) {
    OpenedUnit u(address(160), 9);
    ASSERT_NE(u.handle, nullptr);
    KELVO_HANDLE h = u.handle;

    ASSERT_EQ(mem.start(h), KELVO_STATUS_OK);
    ASSERT_EQ(mem.stop(h), KELVO_STATUS_OK);
    // Seek carries the position and nothing of the settings.
    const std::uint8_t d[] = {0xD1, 0xD2};
    const std::uint8_t chans[] = {1, 9};
    ASSERT_EQ(lib().SetMemTriggerAIO(h, 0x0F, 0xF0, 0xFFFF), KELVO_STATUS_OK);
    ASSERT_EQ(lib().SetMemSamplingCycleDIO(h, 0xFF, 0xFF), KELVO_STATUS_OK);
    ASSERT_EQ(lib().SetMemSamplingFreqAO(h, 0x04, 0xFFFFFF), KELVO_STATUS_OK);
    ASSERT_EQ(lib().SetMemTargetChannelAI(h, 2, chans), KELVO_STATUS_OK);
    ASSERT_EQ(lib().SetMemTrgDataDIO(h, 2, d, d), KELVO_STATUS_OK);
    ASSERT_EQ(mem.seek(h, 0x00012345), KELVO_STATUS_OK);
    ASSERT_EQ(mem.seek(h, 0xFFFFFFFF), KELVO_STATUS_OK);

    auto req = sent(u.fake, 4);
    ASSERT_EQ(req.size(), 4u);
    EXPECT_EQ(hex(req[0]),
              hex(Bytes{0x2B, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00,
                        0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                        0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}));
    EXPECT_EQ(hex(req[1]),
              hex(frameOf({0x2B, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x02}, 36)));
    Bytes seek = frameOf({0x2B, 0x00, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10}, 36);
    put(seek, 16, {0x45, 0x23, 0x01, 0x00});
    EXPECT_EQ(hex(req[2]), hex(seek));
    seek[2] = 0x03;
    put(seek, 16, {0xFF, 0xFF, 0xFF, 0xFF});
    EXPECT_EQ(hex(req[3]), hex(seek));
}

TEST_P(SamplingControl, StatusReportsTheUnitsByteAndCount) {
    OpenedUnit u(address(162), 10);
    ASSERT_NE(u.handle, nullptr);
    auto statusRequest = [](std::uint8_t seq) {
        return frameOf({0x1B, 0x00, seq, 0x00, 0x18, 0x00, 0x00, 0x00}, 8);
    };
    auto statusReply = [&](std::uint8_t seq, std::uint8_t byte, std::uint8_t lo, std::uint8_t hi) {
        Bytes b = FakeUnit::validReply(statusRequest(seq));
        b[8] = byte;
        b[10] = lo;
        b[11] = hi;
        return Reply{b};
    };
    u.fake.enqueue(statusReply(0, 2, 0x03, 0x00));
    u.fake.enqueue(statusReply(1, 0x81, 0xFF, 0xFF));
    Reply failing = statusReply(2, 5, 0x01, 0x00);
    failing.bytes[1] = 1;
    u.fake.enqueue(failing);

    std::uint32_t count = 0xDEAD;
    EXPECT_EQ(mem.status(u.handle, &count), 2);
    EXPECT_EQ(count, 12288u);
    EXPECT_EQ(mem.status(u.handle, &count), 0x81);
    EXPECT_EQ(count, 0xFFFFu * 4096u);
    count = 0xDEAD;
    EXPECT_EQ(mem.status(u.handle, &count), 0);  // failed exchange
    EXPECT_EQ(count, 0u);

    auto req = sent(u.fake, 3);
    ASSERT_EQ(req.size(), 3u);
    for (std::size_t i = 0; i < req.size(); ++i) {
        EXPECT_EQ(hex(req[i]), hex(statusRequest(static_cast<std::uint8_t>(i))));
    }
}

// Chunks of at most 248 bytes; the only or last chunk is flagged 0x40, the
// first of several carries the caller's flag (0x80 plain, 0 for the seek
// variants), the ones between 0.
TEST_P(SamplingControl, TransfersMoveInChunks) {
    OpenedUnit u(address(164), 9);
    ASSERT_NE(u.handle, nullptr);
    u.fake.setResponder(memoryReply);
    struct Size {
        std::size_t length;
        std::vector<std::uint8_t> chunks;
        std::vector<std::uint8_t> plainFlags;
        std::vector<std::uint8_t> seekFlags;
    };
    const Size sizes[] = {{1, {1}, {0x40}, {0x40}},
                          {248, {248}, {0x40}, {0x40}},
                          {249, {248, 1}, {0x80, 0x40}, {0x00, 0x40}},
                          {600, {248, 248, 104}, {0x80, 0x00, 0x40}, {0x00, 0x00, 0x40}}};
    struct Variant {
        const char* name;
        bool write;
        bool seekVariant;
    };
    const Variant variants[] = {{"read", false, false},
                                {"seek read", false, true},
                                {"write", true, false},
                                {"seek write", true, true}};

    std::uint8_t seq = 0;
    for (const Variant& v : variants) {
        for (const Size& s : sizes) {
            SCOPED_TRACE(std::string(v.name) + " of " + std::to_string(s.length));
            u.fake.clearRequests();
            std::vector<std::uint8_t> buffer(s.length + 8, 0xEE);
            for (std::size_t k = 0; v.write && k < buffer.size(); ++k) buffer[k] = sourceByte(k);
            std::uint16_t status;
            if (v.write) {
                status =
                    (v.seekVariant ? mem.seekWrite : mem.write)(u.handle, s.length, buffer.data());
            } else {
                status =
                    (v.seekVariant ? mem.seekRead : mem.read)(u.handle, s.length, buffer.data());
            }
            EXPECT_EQ(status, KELVO_STATUS_OK);
            auto req = sent(u.fake, s.chunks.size());
            ASSERT_EQ(req.size(), s.chunks.size());
            std::size_t offset = 0;
            for (std::size_t c = 0; c < req.size(); ++c) {
                const std::uint8_t flag = (v.seekVariant ? s.seekFlags : s.plainFlags)[c];
                const std::uint8_t len = s.chunks[c];
                if (v.write) {
                    Bytes e = frameOf({0x29, 0x00, seq, 0x00, len, flag, 0x00, 0x00}, 256);
                    for (std::size_t i = 0; i < len; ++i) e[8 + i] = sourceByte(offset + i);
                    EXPECT_EQ(hex(req[c]), hex(e)) << "chunk " << c;
                } else {
                    EXPECT_EQ(hex(req[c]),
                              hex(frameOf({0x19, 0x00, seq, 0x00, len, flag, 0x00, 0x00}, 8)))
                        << "chunk " << c;
                    for (std::size_t i = 0; i < len; ++i) {
                        ASSERT_EQ(buffer[offset + i], memoryByte(seq, i)) << "byte " << offset + i;
                    }
                }
                offset += len;
                ++seq;
            }
            for (std::size_t k = s.length; !v.write && k < buffer.size(); ++k) {
                EXPECT_EQ(buffer[k], 0xEE) << "written past the length at " << k;
            }
        }
    }
    u.fake.clearRequests();
    EXPECT_EQ(probeSequence(u.handle, u.fake), seq);
}

TEST_P(SamplingControl, WriteOfOneByteSendsAWholeFrame) {
    OpenedUnit u(address(166), 20);
    ASSERT_NE(u.handle, nullptr);
    const std::uint8_t one = 0xA5;
    ASSERT_EQ(mem.write(u.handle, 1, &one), KELVO_STATUS_OK);
    ASSERT_EQ(mem.seekWrite(u.handle, 1, &one), KELVO_STATUS_OK);
    auto req = sent(u.fake, 2);
    ASSERT_EQ(req.size(), 2u);
    EXPECT_EQ(hex(req[0]),
              hex(frameOf({0x29, 0x00, 0x00, 0x00, 0x01, 0x40, 0x00, 0x00, 0xA5}, 256)));
    EXPECT_EQ(hex(req[1]),
              hex(frameOf({0x29, 0x00, 0x01, 0x00, 0x01, 0x40, 0x00, 0x00, 0xA5}, 256)));
}

// Bytes 3 and 6..7 of a read chunk's reply travel on in the next request.
TEST_P(SamplingControl, ReadChunkCarriesTheReplyHeaderOn) {
    OpenedUnit u(address(168), 9);
    ASSERT_NE(u.handle, nullptr);
    u.fake.setResponder([](const Bytes& r) {
        Reply reply = memoryReply(r);
        reply.bytes[3] = static_cast<std::uint8_t>(0x5A + r[2]);
        reply.bytes[6] = static_cast<std::uint8_t>(0x12 + r[2]);
        reply.bytes[7] = static_cast<std::uint8_t>(0x34 + r[2]);
        return reply;
    });
    std::vector<std::uint8_t> buffer(600);
    ASSERT_EQ(mem.read(u.handle, 600, buffer.data()), KELVO_STATUS_OK);
    auto req = sent(u.fake, 3);
    ASSERT_EQ(req.size(), 3u);
    EXPECT_EQ(hex(req[0]), hex(Bytes{0x19, 0x00, 0x00, 0x00, 0xF8, 0x80, 0x00, 0x00}));
    EXPECT_EQ(hex(req[1]), hex(Bytes{0x19, 0x00, 0x01, 0x5A, 0xF8, 0x00, 0x12, 0x34}));
    EXPECT_EQ(hex(req[2]), hex(Bytes{0x19, 0x00, 0x02, 0x5B, 0x68, 0x40, 0x13, 0x35}));
}

TEST_P(SamplingControl, FailedChunkEndsTheTransfer) {
    OpenedUnit u(address(170), 9);
    ASSERT_NE(u.handle, nullptr);
    // The second chunk of the read (sequence 1) and of the write (4) fail.
    u.fake.setResponder([](const Bytes& r) {
        Reply reply = memoryReply(r);
        if (r[2] == 1 || r[2] == 4) reply.bytes[1] = 1;
        return reply;
    });
    std::vector<std::uint8_t> buffer(600, 0xEE);
    EXPECT_EQ(mem.read(u.handle, 600, buffer.data()), KELVO_STATUS_COMM_ERROR);
    for (std::size_t k = 0; k < 248; ++k) ASSERT_EQ(buffer[k], memoryByte(0, k)) << k;
    for (std::size_t k = 248; k < 600; ++k) ASSERT_EQ(buffer[k], 0xEE) << k;
    auto req = sent(u.fake, 2);
    ASSERT_EQ(req.size(), 2u);
    EXPECT_EQ(req[1][2], 1);
    u.fake.clearRequests();
    EXPECT_EQ(probeSequence(u.handle, u.fake), 2);  // advanced by 2

    for (std::size_t k = 0; k < buffer.size(); ++k) buffer[k] = sourceByte(k);
    u.fake.clearRequests();
    EXPECT_EQ(mem.write(u.handle, 600, buffer.data()), KELVO_STATUS_COMM_ERROR);
    req = sent(u.fake, 2);
    ASSERT_EQ(req.size(), 2u);
    Bytes first = frameOf({0x29, 0x00, 0x03, 0x00, 0xF8, 0x80, 0x00, 0x00}, 256);
    for (std::size_t i = 0; i < 248; ++i) first[8 + i] = sourceByte(i);
    EXPECT_EQ(hex(req[0]), hex(first));
    EXPECT_EQ(req[1][2], 4);
    u.fake.clearRequests();
    EXPECT_EQ(probeSequence(u.handle, u.fake), 5);
}

TEST_P(SamplingControl, EmptyTransfersNeedNoUnit) {
    OpenedUnit u(address(172), 9);
    ASSERT_NE(u.handle, nullptr);
    std::uint8_t byte = 0xEE;
    EXPECT_EQ(mem.read(u.handle, 0, &byte), KELVO_STATUS_OK);
    EXPECT_EQ(mem.write(u.handle, 0, &byte), KELVO_STATUS_OK);
    EXPECT_TRUE(u.fake.requests().empty());

    // Not connected and unreachable: still no exchange, no sequence step.
    ASSERT_EQ(lib().Close(u.handle), 1);
    u.fake.refuse(true);
    EXPECT_EQ(mem.read(u.handle, 0, &byte), KELVO_STATUS_OK);
    EXPECT_EQ(mem.seekRead(u.handle, 0, &byte), KELVO_STATUS_OK);
    EXPECT_EQ(mem.write(u.handle, 0, &byte), KELVO_STATUS_OK);
    EXPECT_EQ(mem.seekWrite(u.handle, 0, &byte), KELVO_STATUS_OK);
    EXPECT_EQ(byte, 0xEE);
    u.fake.refuse(false);
    ASSERT_EQ(lib().Open(9, 1), u.handle);
    EXPECT_EQ(probeSequence(u.handle, u.fake), 0);
}

TEST_P(SamplingControl, UnknownHandlesSendNothing) {
    OpenedUnit u(address(174), 9);
    ASSERT_NE(u.handle, nullptr);
    for (KELVO_HANDLE bad : {static_cast<KELVO_HANDLE>(nullptr), strangerHandle()}) {
        std::uint8_t buffer[4] = {0xEE, 0xEE, 0xEE, 0xEE};
        std::uint32_t count = 0xDEAD;
        EXPECT_EQ(mem.start(bad), KELVO_STATUS_NOT_OPEN);
        EXPECT_EQ(mem.stop(bad), KELVO_STATUS_NOT_OPEN);
        EXPECT_EQ(mem.status(bad, &count), 0);
        EXPECT_EQ(count, 0u);
        EXPECT_EQ(mem.seek(bad, 5), KELVO_STATUS_NOT_OPEN);
        EXPECT_EQ(mem.read(bad, 4, buffer), KELVO_STATUS_NOT_OPEN);
        EXPECT_EQ(mem.seekRead(bad, 4, buffer), KELVO_STATUS_NOT_OPEN);
        EXPECT_EQ(mem.read(bad, 0, buffer), KELVO_STATUS_NOT_OPEN);
        EXPECT_EQ(mem.write(bad, 4, buffer), KELVO_STATUS_NOT_OPEN);
        EXPECT_EQ(mem.seekWrite(bad, 4, buffer), KELVO_STATUS_NOT_OPEN);
        EXPECT_EQ(mem.seekWrite(bad, 0, buffer), KELVO_STATUS_NOT_OPEN);
        EXPECT_EQ(hex(Bytes(buffer, buffer + 4)), hex(Bytes{0xEE, 0xEE, 0xEE, 0xEE}));
    }
    EXPECT_TRUE(u.fake.requests().empty());
    EXPECT_EQ(probeSequence(u.handle, u.fake), 0);
}

INSTANTIATE_TEST_SUITE_P(BothNames, SamplingControl, ::testing::Values(Family::DIO, Family::AIO),
                         [](const ::testing::TestParamInfo<Family>& info) {
                             return std::string(nameOf(info.param));
                         });

}  // namespace
}  // namespace kelvotest::io
