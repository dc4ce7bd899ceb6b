// The device-list parser, seen from the entries it creates (including the
// MAC, which no export reveals).
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <array>
#include <vector>

#include "discovery/device_list.h"

namespace {

using Mac = std::array<std::uint8_t, 6>;

// What the parser sets in a record (records themselves hold a lock and do
// not copy).
struct DeviceEntry {
    std::uint8_t model, unitId, aux;
    std::uint32_t address;
    Mac mac;
    std::uint16_t port;
    kelvo::platform::Socket socket;
};

struct Parsed {
    std::int32_t mode;
    std::vector<DeviceEntry> entries;
};

Parsed Parse(const char* text) {
    kelvo::DeviceRegistry registry;
    registry.mode = kelvo::MODE_UNSET;
    kelvo::ParseDeviceList(registry, text);
    Parsed out{registry.mode, {}};
    registry.ForEach([&](const kelvo::DeviceEntry& e) {
        out.entries.push_back({e.model, e.unitId, e.aux, e.address, e.mac, e.port, e.socket});
    });
    return out;
}

TEST(DeviceList, FieldsByPosition) {
    const Parsed p = Parse(
        "2\r\n"
        "a,3,1,192.168.0.20,02-00-00-00-00-01,0\r\n"
        "b,300,257,10.0.0.1,0x1A-ff-0-1-2-3,255,extra,fields\r\n");
    EXPECT_EQ(p.mode, 2);
    ASSERT_EQ(p.entries.size(), 2u);
    const DeviceEntry& a = p.entries[0];
    EXPECT_EQ(a.model, 3);
    EXPECT_EQ(a.unitId, 1);
    EXPECT_EQ(a.aux, 0);
    EXPECT_EQ(a.address, inet_addr("192.168.0.20"));
    EXPECT_EQ(a.mac, (Mac{2, 0, 0, 0, 0, 1}));
    EXPECT_EQ(a.port, kelvo::COMMAND_PORT);
    EXPECT_EQ(a.socket, kelvo::platform::NO_SOCKET);
    const DeviceEntry& b = p.entries[1];
    EXPECT_EQ(b.model, 44);  // low 8 bits of 300
    EXPECT_EQ(b.unitId, 1);
    EXPECT_EQ(b.aux, 255);
    EXPECT_EQ(b.mac, (Mac{0x1A, 0xFF, 0, 1, 2, 3}));
}

TEST(DeviceList, MissingOrUnparsableFieldsKeepTheDefaults) {
    const Parsed p = Parse(
        "1\r\n"
        "only-a-name\r\n"
        "\r\n"
        "x,7\r\n"
        "y,abc,2,,01-02-03,zz\r\n"
        "z,5,6,192.168.0.300,01-02-03-04-05-06-07,9\r\n");
    ASSERT_EQ(p.entries.size(), 5u);  // one entry per line, always
    for (int i : {0, 1}) {
        EXPECT_EQ(p.entries[i].model, 0xFF);
        EXPECT_EQ(p.entries[i].unitId, 0xFF);
        EXPECT_EQ(p.entries[i].aux, 0xFF);
        EXPECT_EQ(p.entries[i].address, 0u);
        EXPECT_EQ(p.entries[i].mac, Mac{});
    }
    EXPECT_EQ(p.entries[2].model, 7);
    EXPECT_EQ(p.entries[2].unitId, 0xFF);
    EXPECT_EQ(p.entries[3].model, 0xFF);
    EXPECT_EQ(p.entries[3].unitId, 2);
    EXPECT_EQ(p.entries[3].address, 0u);  // empty field
    EXPECT_EQ(p.entries[3].mac, Mac{});   // three numbers are not a MAC
    EXPECT_EQ(p.entries[3].aux, 0xFF);
    EXPECT_EQ(p.entries[4].address, 0xFFFFFFFFu);  // rejected address text
    EXPECT_EQ(p.entries[4].mac, (Mac{1, 2, 3, 4, 5, 6}));
}

TEST(DeviceList, ModeLineAndLineEndings) {
    EXPECT_EQ(Parse("1").mode, kelvo::MODE_UNSET);  // no CR LF: nothing parsed
    EXPECT_TRUE(Parse("2\na,1,1,1.2.3.4,0-0-0-0-0-0,0\n").entries.empty());
    EXPECT_TRUE(Parse("0\r\na,1,1,1.2.3.4,0-0-0-0-0-0,0\r\n").entries.empty());
    EXPECT_TRUE(Parse("word\r\na,1,1,1.2.3.4,0-0-0-0-0-0,0\r\n").entries.empty());
    EXPECT_EQ(Parse("  +1 devices\r\n").mode, 1);

    const Parsed again = Parse("-1\r\n1\r\na,1,1,1.2.3.4,0-0-0-0-0-0,0\r\n");
    EXPECT_EQ(again.mode, 1);
    EXPECT_EQ(again.entries.size(), 1u);

    // A last line without CR LF is not read; a NUL byte ends the text.
    EXPECT_EQ(
        Parse("1\r\na,1,1,1.2.3.4,0-0-0-0-0-0,0\r\nb,2,2,1.2.3.5,0-0-0-0-0-0,0").entries.size(),
        1u);
    EXPECT_EQ(Parse("1\r\na,1,1,1.2.3.4\0,0\r\nb,2\r\n").entries.size(), 0u);
}

}  // namespace
