// Unit descriptions from the command line, address helpers and the
// device-list file the simulator can write for the library.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sim/model.h"

namespace sim {

// "MODEL:UNITID[@ADDRESS][,aux=N][,mac=XX-XX-XX-XX-XX-XX]"; MODEL is a model
// name ("KV-103") or code ("3"). Without an address the unit gets the next
// free one.
struct UnitDescription {
    const ModelInfo* model = nullptr;
    std::uint8_t unitId = 1;
    std::uint8_t aux = 0;
    std::optional<std::uint32_t> address;
    std::optional<Mac> mac;
};

// These parsers throw std::invalid_argument with a message for the user.
UnitDescription parseUnit(std::string_view text);
std::uint32_t parseIPv4(std::string_view text);  // host byte order
Mac parseMac(std::string_view text);
std::uint8_t parseByte(std::string_view text, std::string_view what);

std::string formatIPv4(std::uint32_t address);
std::string formatMac(const Mac& mac);  // "02-4B-56-00-00-02"
// 02-4B-56 (locally administered) followed by the low three address bytes.
Mac defaultMac(std::uint32_t address);

// Turns the unit descriptions into identities: explicit addresses first,
// then `--all-models` (one unit per model, unit ID 1) and `count` further
// units (models 1..20 in turn, unit ID 1 + i / 20) on the free addresses from
// `base` upward. Throws std::invalid_argument on a duplicate address.
std::vector<Identity> planUnits(const std::vector<UnitDescription>& descriptions, bool allModels,
                                std::size_t count, std::uint32_t base);

// The device-list file text: the mode line, then one line per unit
// "name,MODEL,UNITID,ADDRESS,MAC,AUX", every line ending in CR LF.
std::string deviceList(const std::vector<Identity>& units, int mode);

}  // namespace sim
