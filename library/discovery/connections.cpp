#include "discovery/connections.h"

#include <cstdio>
#include <cstring>

#include "io/model_table.h"
#include "protocol/builders.h"
#include "protocol/exchange.h"

namespace kelvo {
namespace {

// DeviceSummary: model code, unit ID, aux byte, total, bits, name with its
// terminating zero (bytes after the zero are left as the caller had them).
namespace summary {
constexpr std::size_t MODEL = 0, UNIT_ID = 1, AUX = 2, TOTAL = 3, BITS = 4, NAME = 5;
constexpr std::size_t NAME_SIZE = SUMMARY_SIZE - NAME;
}  // namespace summary

// VersionInfo: library major, minor, date text; unit info byte, major,
// minor, date text.
namespace version_info {
constexpr std::size_t LIB_MAJOR = 0, LIB_MINOR = 1, LIB_DATE = 2;
constexpr std::size_t DEV_INFO = 18, DEV_MAJOR = 19, DEV_MINOR = 20, DEV_DATE = 21;
constexpr std::size_t DATE_SIZE = 16;
static_assert(DEV_DATE + DATE_SIZE == VERSION_INFO_SIZE);
}  // namespace version_info

void Summarize(const DeviceEntry& entry, std::uint8_t* out) {
    const ModelInfo& model = LookupModel(entry.model);
    out[summary::MODEL] = entry.model;
    out[summary::UNIT_ID] = entry.unitId;
    out[summary::AUX] = entry.aux;
    out[summary::TOTAL] = model.total;
    out[summary::BITS] = model.bits;
    // Models without a name get an empty one.
    const char* name = model.name ? model.name : "";
    std::memcpy(out + summary::NAME, name, std::strlen(name) + 1);
}
static_assert(summary::NAME_SIZE == 16);

// "20YY/MM/DD" from three numbers, each taken as an unsigned byte.
void FormatDate(char* out, unsigned year, unsigned month, unsigned day) {
    std::snprintf(out, version_info::DATE_SIZE, "20%02u/%02u/%02u", year & 0xFF, month & 0xFF,
                  day & 0xFF);
}

template <class Match>
void* OpenFirst(const DeviceRegistry* registry, Match&& match) {
    if (!registry) return nullptr;
    DeviceEntry* found = registry->First();
    while (found && !match(*found)) found = found->next;
    // Only the first match is tried; an open connection is reused untested.
    if (!found) return nullptr;
    found->lock.lock();  // a call in flight on the unit ends first
    const bool open = found->socket != platform::NO_SOCKET ||
                      Connect(*found) == platform::ConnectResult::CONNECTED;
    found->lock.unlock();
    return open ? HandleOf(*found) : nullptr;
}

}  // namespace

std::int32_t BrowseDevice(const DeviceRegistry* registry, std::uint8_t* summaries) {
    if (!registry) return 0;
    if (summaries) {
        registry->ForEach([&](const DeviceEntry& entry) {
            Summarize(entry, summaries);
            summaries += SUMMARY_SIZE;
        });
    }
    return registry->Count();
}

std::int32_t BrowseDeviceIndex(const DeviceRegistry* registry, std::int16_t index,
                               std::uint8_t* summary) {
    if (!registry || index < 0 || index >= registry->Count()) return 0;
    const DeviceEntry* entry = registry->First();
    for (std::int16_t i = 0; i < index; ++i) entry = entry->next;
    Summarize(*entry, summary);
    return 1;
}

void* Open(const DeviceRegistry* registry, std::uint8_t model, std::uint8_t unitId) {
    return OpenFirst(registry, [&](const DeviceEntry& entry) {
        return entry.model == model && entry.unitId == unitId;
    });
}

void* OpenByIP(const DeviceRegistry* registry, const char* address) {
    const std::uint32_t wanted = platform::parseAddress(address);
    return OpenFirst(registry, [&](const DeviceEntry& entry) { return entry.address == wanted; });
}

std::int32_t Close(DeviceEntry* entry) {
    if (!entry || entry->socket == platform::NO_SOCKET) return 0;
    if (platform::sockets().close(entry->socket) != 0) return 0;
    entry->socket = platform::NO_SOCKET;
    return 1;
}

// The caller's bytes go out unchanged from frame byte 0, except byte 2,
// which carries the unit's sequence number. The reply's data (as many bytes
// as reply byte 4 announces, at most the 240-byte data area) come back.
// Only received bytes are data: a reply that ends before byte 4 announces
// none, and announced bytes past the reply's end read as zeros.
std::int32_t Access(DeviceEntry* entry, std::int16_t length, std::uint8_t* buffer) {
    if (!entry || entry->socket == platform::NO_SOCKET || !buffer) return 0;
    if (length < static_cast<std::int16_t>(frame::HEADER_SIZE) ||
        length > static_cast<std::int16_t>(FRAME_SIZE)) {
        return 0;
    }
    std::memcpy(entry->frame.data(), buffer, static_cast<std::size_t>(length));
    int received = 0;
    if (Exchange(*entry, static_cast<std::size_t>(length), frame::CHECKED_SIZE, Sequence::STEP,
                 &received) != STATUS_OK) {
        return 0;
    }
    const auto got = static_cast<std::size_t>(received);
    std::size_t count = got > frame::LENGTH ? entry->frame[frame::LENGTH] : 0;
    if (count > frame::DATA_SIZE) count = frame::DATA_SIZE;
    const std::size_t end = frame::DATA + count;
    const std::size_t covered = got < frame::DATA ? frame::DATA : got;
    if (covered < end) std::memset(entry->frame.data() + covered, 0, end - covered);
    std::memcpy(buffer, entry->frame.data() + frame::DATA, count);
    return 1;
}

std::int32_t GetVerInfo(DeviceEntry* entry, std::uint8_t* info) {
    namespace vi = version_info;
    std::memset(info, 0, VERSION_INFO_SIZE);
    std::int32_t result = 0;

    // The unit's part. The sequence number is sent but not stepped, so the
    // next command on this handle carries the same one.
    if (entry && entry->socket != platform::NO_SOCKET) {
        CommandFrame& f = entry->frame;
        InfoRequest(f, INFO_VERSION);
        // The reply must bring the version fields, bytes 19 to 24.
        if (Exchange(*entry, frame::HEADER_SIZE, version_reply::INFO + 1, Sequence::KEEP) ==
            STATUS_OK) {
            info[vi::DEV_INFO] = f[version_reply::INFO];
            info[vi::DEV_MAJOR] = f[version_reply::MAJOR];
            info[vi::DEV_MINOR] = f[version_reply::MINOR];
            FormatDate(reinterpret_cast<char*>(info + vi::DEV_DATE), f[version_reply::YEAR],
                       f[version_reply::MONTH], f[version_reply::DAY]);
            result = 1;
        }
    }

    // The library's part, whatever the handle: major.minor.YY.MMDD.
    std::uint16_t version[4];
    if (!platform::libraryVersion(version)) return result;
    info[vi::LIB_MAJOR] = static_cast<std::uint8_t>(version[0]);
    info[vi::LIB_MINOR] = static_cast<std::uint8_t>(version[1]);
    FormatDate(reinterpret_cast<char*>(info + vi::LIB_DATE), version[2], version[3] / 100,
               version[3] % 100);
    return 1;
}

}  // namespace kelvo
