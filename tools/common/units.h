// Finding units at known addresses without a broadcast, shared by the kelvo
// tool and kelvo-gateway.
//
// The library's device list in mode 1 takes its units as listed, with no
// network traffic at all; in any other mode Kelvo_Initial also broadcasts.
// So the tools ask each address themselves who is there (the identification
// request, all addresses at once over non-blocking sockets, each bounded by
// the connect and reply limits and all by one overall limit), write the units
// that answered into a private mode-1 list, and call Kelvo_Initial once: every
// unit is identified once, and nothing waits on an address that stays dark
// for longer than the connect limit.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "kelvo.h"

namespace kelvo::tools {

// How long a unit has for its reply, and for accepting a connection.
inline constexpr int REPLY_TIMEOUT_MS = KELVO_REPLY_TIMEOUT_MS;
inline constexpr int CONNECT_TIMEOUT_MS = KELVO_CONNECT_TIMEOUT_MS;

// What a unit says it is: reply bytes 16, 17 and 18 of the identification.
struct Identity {
    std::uint8_t model = 0xFF;
    std::uint8_t aux = 0xFF;
    std::uint8_t unitId = 0xFF;
};

struct IdentifyLimits {
    std::size_t atOnce = 128;                 // connections open at the same time
    int totalMs = 15000;                      // for all addresses together
    const std::atomic<bool>* stop = nullptr;  // ends the asking early when set
};

// One answer per address, in order: the unit's identity, or nothing when no
// unit answered in time, the reply was not a valid identification, or the
// address is not a dotted IPv4 address. A unit that reports 255 for all three
// bytes counts as not identified, as the library drops such units too.
std::vector<std::optional<Identity>> IdentifyAll(const std::vector<std::string>& addresses,
                                                 const IdentifyLimits& limits = {});

// A unit for the device list.
struct ListedUnit {
    std::string address;
    Identity identity;
    std::string mac;  // "02-4B-56-00-00-09"; empty: unknown
};

// The library reads Kelvo.ini from $KELVO_DEVICE_LIST_DIR: a directory of our
// own, made under the temporary directory, for this process's lifetime.
// Pointing the library at it changes the process environment, so make it
// before other threads start.
class DeviceList {
  public:
    // Throws std::runtime_error when no directory can be made.
    DeviceList();
    ~DeviceList();
    DeviceList(const DeviceList&) = delete;
    DeviceList& operator=(const DeviceList&) = delete;

    // Writes the units in mode 1, in this order, and calls Kelvo_Initial,
    // which lists them as they stand (entry i is units[i]). Returns its
    // count, or -1 when the file cannot be written.
    int load(const std::vector<ListedUnit>& units);

  private:
    std::filesystem::path directory_;
};

// Identifies the units at the addresses and loads the ones that answered
// into the list with one Kelvo_Initial. Returns one answer per address.
std::vector<std::optional<Identity>> OpenAt(DeviceList& list,
                                            const std::vector<std::string>& addresses,
                                            const IdentifyLimits& limits = {});

}  // namespace kelvo::tools
