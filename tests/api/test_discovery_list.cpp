// The device-list file: which first lines choose which mode, what ends a
// line, and what each device line gives. The mode shows on the wire (is the
// query broadcast?), the entries through browsing.
// Addresses 127.0.0.80 to 127.0.0.99.
#include <gtest/gtest.h>

#include <string>

#include "kelvo.h"
#include "support/device_list.h"
#include "support/fake_unit.h"
#include "support/helpers.h"
#include "support/library.h"
#include "support/netcheck.h"

namespace kelvotest {
namespace {

Bytes head(const Bytes& record) {
    return Bytes(record.begin(), record.begin() + 5);
}

TEST(DeviceList, TheFirstLineChoosesTheMode) {
    KELVO_REQUIRE_PRIVATE_NETWORK();
    FakeUnit unit(testAddress(80), 3, 1);
    DiscoveryAnswerer answerer;
    const std::string line = deviceLine(testAddress(80), 3, 1);
    struct Case {
        const char* what;
        std::string text;  // empty: no file at all
        bool broadcast;
        int units;
    };
    const Case cases[] = {
        {"mode 1", "1\r\n" + line + "\r\n", false, 1},
        {"text after the number", "1 file only\r\n" + line + "\r\n", false, 1},
        {"white space and a sign", " \t+1\r\n" + line + "\r\n", false, 1},
        {"-1 then 1", "-1\r\n1\r\n" + line + "\r\n", false, 1},
        {"mode 0: lines not read", "0\r\n" + line + "\r\n", true, 0},
        {"bare line feeds end no line", "1\n" + line + "\n", true, 0},
        {"1 without CR LF", "1", true, 0},
        {"no number", "file\r\n" + line + "\r\n", true, 0},
        {"-1 then no number", "-1\r\n" + line + "\r\n", true, 0},
        {"no file", "", true, 0},
        {"mode 2: file and broadcast", "2\r\n" + line + "\r\n", true, 1},
        // Past the size limit (1 MiB) the file is not read at all.
        {"a file over 1 MiB", "1\r\n" + line + "\r\n" + std::string(1 << 20, ' '), true, 0},
    };
    int queries = 0, connections = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.text.empty()) {
            removeDeviceList();
        } else {
            writeDeviceList(c.text);
        }
        EXPECT_EQ(lib().Initial(), c.units);
        if (c.broadcast) ++queries;
        EXPECT_EQ(answerer.queriesReceived(), queries);
        // Only the broadcasting mode that reads the lines identifies the unit.
        if (c.broadcast && c.units == 1) ++connections;
        EXPECT_EQ(unit.connectionsAccepted(), connections);
    }
}

TEST(DeviceList, EachCompleteLineGivesOneEntry) {
    // File-only mode: the values stand as read.
    const std::string text =
        "1\r\n"
        "low bytes,300,257,127.0.0.81,02-00-00-00-00-01,255\r\n"
        "seven fields,9,2,127.0.0.82,02-00-00-00-00-02,3,extra,more\r\n"
        "bad address,3,3,192.168.0.300,02-00-00-00-00-03,0\r\n"
        "repeated,3,4,127.0.0.83,02-00-00-00-00-04,0\r\n"
        "repeated,3,4,127.0.0.83,02-00-00-00-00-04,0\r\n"
        "padded, 5,+6,127.0.0.84,02-00-00-00-00-05, 7\r\n"
        "two fields,12\r\n"
        "three fields,13,9\r\n"
        "unreadable model,model,10,127.0.0.85,02-00-00-00-00-06,11\r\n"
        "name only\r\n"
        "\r\n"
        ",,,,,\r\n"
        "last line without its CR LF,3,99,127.0.0.86,02-00-00-00-00-07,0";
    const Bytes expected[] = {
        {44, 1, 255, 0, 0},     {9, 2, 3, 16, 16},   {3, 3, 0, 2, 8},
        {3, 4, 0, 2, 8},        {3, 4, 0, 2, 8},     {5, 6, 7, 2, 8},
        {12, 0xFF, 0xFF, 8, 8}, {13, 9, 0xFF, 4, 8}, {0xFF, 10, 11, 0, 0},
    };
    // Lines whose model, unit ID and aux all stay 255 are not kept.
    writeDeviceList(text);
    for (int reading = 0; reading < 2; ++reading) {
        SCOPED_TRACE(testing::Message() << "reading " << reading + 1);
        EXPECT_EQ(lib().Initial(), 9);
        const auto records = browseAll();
        ASSERT_EQ(records.size(), 9u);
        for (std::size_t i = 0; i < 9; ++i) {
            EXPECT_EQ(hex(head(records[i])), hex(expected[i])) << "entry " << i;
        }
        EXPECT_STREQ(reinterpret_cast<const char*>(&records[1][5]), "KV-109");
        EXPECT_EQ(records[0][5], 0);
    }
}

}  // namespace
}  // namespace kelvotest
