// fuzz_device_list: any bytes as the text of the device-list file.
//
// The text is parsed into a fresh registry in memory and, through the file
// reader, from a real file in a directory of our own; both must give the
// same mode and the same units. Every unit is then browsed into caller
// memory of exactly the announced size (none is opened). Checked: the count
// equals the units listed, the number of units equals the device lines an
// independent reading of the text finds, each field holds what "%d", "%x"
// and inet_addr make of it, and every summary name ends within its 16 bytes.
#include <arpa/inet.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "discovery/connections.h"
#include "discovery/device_list.h"
#include "fuzz/list_directory.h"
#include "io/model_table.h"
#include "registry/device_registry.h"

namespace {

using namespace kelvo;

void Check(bool holds, const char* what) {
    if (!holds) {
        std::fprintf(stderr, "\n*** fuzz_device_list: %s\n", what);
        std::abort();
    }
}

std::vector<const DeviceEntry*> Entries(const DeviceRegistry& registry) {
    std::vector<const DeviceEntry*> out;
    registry.ForEach([&](const DeviceEntry& e) { out.push_back(&e); });
    return out;
}

// An independent reading of a line as "%d" does, for the mode line only:
// does it start with a number, and which (modulo 2^32).
bool ModeOf(const std::string& line, std::int32_t& mode) {
    std::size_t i = 0;
    while (i < line.size() && (line[i] == ' ' || (line[i] >= '\t' && line[i] <= '\r'))) ++i;
    bool negative = false;
    if (i < line.size() && (line[i] == '+' || line[i] == '-')) negative = line[i++] == '-';
    std::uint32_t v = 0;
    const std::size_t digits = i;
    for (; i < line.size() && line[i] >= '0' && line[i] <= '9'; ++i) {
        v = v * 10 + static_cast<std::uint32_t>(line[i] - '0');
    }
    if (i == digits) return false;
    mode = static_cast<std::int32_t>(negative ? 0u - v : v);
    return true;
}

// The fields of a device line, split at every comma.
std::vector<std::string> Fields(const std::string& line) {
    std::vector<std::string> out;
    std::size_t start = 0;
    for (;;) {
        const std::size_t comma = line.find(',', start);
        out.push_back(line.substr(start, comma == std::string::npos ? comma : comma - start));
        if (comma == std::string::npos) return out;
        start = comma + 1;
    }
}

// A field the C library reads without overflow: no run of more than 8
// (hexadecimal) digits, so that sscanf's "%d" and "%x" are defined and the
// comparison is fair.
bool Tame(const std::string& field) {
    std::size_t run = 0, longest = 0;
    for (char c : field) {
        run = std::isxdigit(static_cast<unsigned char>(c)) ? run + 1 : 0;
        longest = std::max(longest, run);
    }
    return longest <= 8;
}

// What one device line must have given, where the C library can tell.
void CheckLine(const std::string& line, const DeviceEntry& e) {
    const auto fields = Fields(line);
    auto byteField = [&](std::size_t n, std::uint8_t got, const char* what) {
        int v;
        if (fields.size() >= n && Tame(fields[n - 1]) &&
            std::sscanf(fields[n - 1].c_str(), "%d", &v) == 1) {
            Check(got == static_cast<std::uint8_t>(v), what);
        }
    };
    byteField(2, e.model, "model code is not the low 8 bits of field 2");
    byteField(3, e.unitId, "unit ID is not the low 8 bits of field 3");
    byteField(6, e.aux, "aux byte is not the low 8 bits of field 6");
    // Empty address fields and overlong ones are the reader's own choice.
    if (fields.size() >= 4 && !fields[3].empty() && fields[3].size() < 64) {
        Check(e.address == ::inet_addr(fields[3].c_str()), "address is not inet_addr of field 4");
    }
    unsigned mac[6];
    // "0x" prefixes are read differently by C libraries; leave them out.
    if (fields.size() >= 5 && Tame(fields[4]) &&
        fields[4].find_first_of("xX") == std::string::npos &&
        std::sscanf(fields[4].c_str(), "%x-%x-%x-%x-%x-%x", &mac[0], &mac[1], &mac[2], &mac[3],
                    &mac[4], &mac[5]) == 6) {
        for (int i = 0; i < 6; ++i) {
            Check(e.mac[static_cast<std::size_t>(i)] == static_cast<std::uint8_t>(mac[i]),
                  "MAC is not the low 8 bits of the six numbers of field 5");
        }
    }
}

void CheckSummary(const std::uint8_t* s, const DeviceEntry& e) {
    const ModelInfo& m = LookupModel(e.model);
    Check(s[0] == e.model && s[1] == e.unitId && s[2] == e.aux, "summary identity bytes");
    Check(s[3] == m.total && s[4] == m.bits, "summary total or bits");
    const char* name = reinterpret_cast<const char*>(s + 5);
    Check(std::memchr(name, 0, 16) != nullptr, "summary name without its zero in 16 bytes");
    Check(std::strcmp(name, m.name ? m.name : "") == 0, "summary name");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    kelvofuzz::UsePrivateListDirectory();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // The text as the reader holds it: the file's bytes and one zero after.
    std::unique_ptr<char[]> text(new char[size + 1]);
    if (size > 0) std::memcpy(text.get(), data, size);
    text[size] = '\0';

    DeviceRegistry registry;
    ParseDeviceList(registry, text.get());

    // The lines an independent reading finds, up to the first zero byte.
    const std::string whole(text.get());
    std::vector<std::string> lines;
    for (std::size_t at = 0;;) {
        const std::size_t crlf = whole.find("\r\n", at);
        if (crlf == std::string::npos) break;
        lines.push_back(whole.substr(at, crlf - at));
        at = crlf + 2;
    }
    std::int32_t mode = MODE_UNSET;
    std::vector<std::string> deviceLines;
    for (const std::string& line : lines) {
        if (mode == MODE_UNSET) {
            if (!ModeOf(line, mode)) {
                mode = MODE_UNSET;
                break;
            }
            if (mode == MODE_BROADCAST_ONLY) break;
        } else {
            deviceLines.push_back(line);
        }
    }
    Check(registry.mode == mode, "mode is not the number on the mode line");

    const auto entries = Entries(registry);
    Check(registry.Count() == static_cast<std::int32_t>(entries.size()),
          "count differs from the units in the list");
    Check(entries.size() == deviceLines.size(), "units differ from the device lines");
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const DeviceEntry& e = *entries[i];
        Check(e.socket == platform::NO_SOCKET && e.port == COMMAND_PORT && e.sequence == 0,
              "a listed unit is not a fresh record");
        CheckLine(deviceLines[i], e);
    }

    // Browsing: the count first, then exactly that many records.
    const std::int32_t n = BrowseDevice(&registry, nullptr);
    Check(n == registry.Count(), "browse count differs from the list");
    std::unique_ptr<std::uint8_t[]> summaries(
        new std::uint8_t[static_cast<std::size_t>(n) * SUMMARY_SIZE]);
    Check(BrowseDevice(&registry, summaries.get()) == n, "browse wrote another number of records");
    for (std::size_t i = 0; i < entries.size(); ++i) {
        CheckSummary(summaries.get() + i * SUMMARY_SIZE, *entries[i]);
        std::unique_ptr<std::uint8_t[]> one(new std::uint8_t[SUMMARY_SIZE]);
        Check(BrowseDeviceIndex(&registry, static_cast<std::int16_t>(i), one.get()) == 1,
              "BrowseDeviceIndex refused a unit in the list");
        CheckSummary(one.get(), *entries[i]);
    }
    std::uint8_t untouched[SUMMARY_SIZE];
    Check(BrowseDeviceIndex(&registry, -1, untouched) == 0 &&
              BrowseDeviceIndex(&registry, static_cast<std::int16_t>(n), untouched) == 0,
          "BrowseDeviceIndex accepted a position outside the list");

    // The same text through the file reader: the same units, and mode 0
    // where the text gave none.
    const std::string path = kelvofuzz::ListPath();
    if (FILE* f = std::fopen(path.c_str(), "wb")) {
        std::fwrite(data, 1, size, f);
        std::fclose(f);
        DeviceRegistry fromFile;
        ReadDeviceList(fromFile, "Kelvo.ini");
        Check(fromFile.mode == (mode == MODE_UNSET ? MODE_BROADCAST_ONLY : mode),
              "the file reader found another mode");
        const auto again = Entries(fromFile);
        Check(again.size() == entries.size(), "the file reader found other units");
        for (std::size_t i = 0; i < again.size(); ++i) {
            const DeviceEntry &a = *entries[i], &b = *again[i];
            Check(a.address == b.address && a.mac == b.mac && a.model == b.model &&
                      a.unitId == b.unitId && a.aux == b.aux,
                  "the file reader gave a unit other values");
        }
    }
    return 0;
}
