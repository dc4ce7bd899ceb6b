#include "discovery/discover.h"

#include <cstring>

#include "discovery/device_list.h"
#include "protocol/builders.h"
#include "protocol/exchange.h"
#include "protocol/trace.h"

namespace kelvo {
namespace {

constexpr std::uint32_t BROADCAST_ADDRESS = 0xFFFFFFFF;

// Asks the unit who it is over a temporary connection; the entry's own
// connection and sequence counter are not used. The request is the bare
// header 12 00 00 00 00 00 00 00 (InfoRequest); the reply carries model code, aux byte and
// unit ID at bytes 16..18. A unit that does not answer keeps its values.
void Identify(DeviceEntry& entry) {
    const auto& net = platform::sockets();
    const platform::Socket probe = net.openStream();
    if (probe == platform::NO_SOCKET) return;
    const bool connected = net.connect(probe, entry.address, entry.port);
    const int error = connected ? 0 : platform::lastError();
    Outcome outcome = Outcome::NOT_CONNECTED;
    if (connected) {
        InfoRequest(entry.frame, 0);
        outcome = RoundTrip(probe, entry.frame, frame::HEADER_SIZE, REPLY_TIMEOUT_MS);
        if (outcome == Outcome::OK) {
            entry.model = entry.frame[ident::MODEL];
            entry.aux = entry.frame[ident::AUX];
            entry.unitId = entry.frame[ident::UNIT_ID];
        }
    }
    if (trace::On()) trace::Identification(entry, connected, error, outcome);
    net.close(probe);
}

bool Unidentified(const DeviceEntry& entry) {
    return entry.model == UNIDENTIFIED && entry.aux == UNIDENTIFIED && entry.unitId == UNIDENTIFIED;
}

}  // namespace

void BroadcastDiscover(DeviceRegistry& registry, std::uint16_t port, std::int32_t wait) {
    const auto& net = platform::sockets();
    const platform::Socket s = net.openDatagram();
    if (s == platform::NO_SOCKET) return;
    if (net.enableBroadcast(s) &&
        net.sendTo(s, DISCOVERY_QUERY.data(), static_cast<int>(DISCOVERY_QUERY.size()),
                   BROADCAST_ADDRESS, port) >= 0) {
        const std::int64_t deadline = platform::monotonicMs() + DISCOVERY_LIMIT_MS;
        std::uint8_t answer[DISCOVERY_BUFFER_SIZE];
        // Any datagram is an answer; the wait starts afresh after each one,
        // up to the limits on answers and time.
        std::int32_t answers = 0;
        const char* end = "no answer within the wait";
        for (;;) {
            if (answers == DISCOVERY_MAX_ANSWERS) {
                end = "the most collected";
                break;
            }
            const std::int64_t left = deadline - platform::monotonicMs();
            if (left <= 0) {
                end = "the time for collecting is up";
                break;
            }
            const auto ms = static_cast<std::int32_t>(left < wait ? left : wait);
            if (net.waitReadable(s, ms) != 1) break;
            // Cleared every time, so a short answer cannot carry bytes of
            // the answer before it.
            std::memset(answer, 0, sizeof answer);
            std::uint32_t from = 0;
            const int length = net.recvFrom(s, answer, sizeof answer, &from);
            if (length < 0) continue;
            DeviceEntry* entry = DeviceRegistry::NewEntry();
            if (!entry) break;
            entry->address = from;
            std::memcpy(entry->mac.data(), answer + DISCOVERY_MAC, entry->mac.size());
            registry.Append(entry);
            ++answers;
            if (trace::On()) trace::Answer(from, length, entry->mac.data());
        }
        if (trace::On()) trace::AnswersEnd(answers, end);
    }
    net.close(s);
}

std::int32_t Initial() {
    const ListChange change;  // every call in flight ends first
    DeviceRegistry* registry = change.get();
    if (!registry) return 0;
    trace::Configure();
    registry->Empty();
    ReadDeviceList(*registry, DEVICE_LIST_FILE);
    if (registry->mode != MODE_FILE_ONLY) {
        BroadcastDiscover(*registry, DISCOVERY_PORT, REPLY_TIMEOUT_MS);
        registry->ForEach(Identify);
    }
    // Drop the units that nobody could identify.
    registry->DropIf(Unidentified);
    if (trace::On()) trace::Initial(registry->mode, registry->Count());
    return registry->Count();
}

}  // namespace kelvo
