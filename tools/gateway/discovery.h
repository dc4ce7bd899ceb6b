// Finding the units of the segment with their addresses and MACs.
//
// The library's own discovery keeps neither the address nor the MAC of a
// unit where a program can see them, and both belong in the unit's info.
// So the gateway sends the discovery query itself (to the broadcast address
// and/or to each listed address), then hands the library a device list of
// the units that answered, which it uses without broadcasting again.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace gateway {

struct FoundUnit {
    std::string address;
    std::optional<std::array<std::uint8_t, 6>> mac;  // unknown when the unit did not answer
};

// Listed addresses come first and are kept even when they do not answer (a
// unit may answer commands but not the query); then, with `broadcast`,
// every other unit that answered, in the order of the answers. Waits until
// `waitMs` pass without an answer, or, without broadcast, until every
// listed unit has answered; at most 4,096 answers and 15 s in all.
std::vector<FoundUnit> Discover(bool broadcast, const std::vector<std::string>& addresses,
                                int waitMs);

// "02-4B-56-00-00-09"
std::string MacText(const std::array<std::uint8_t, 6>& mac);

}  // namespace gateway
