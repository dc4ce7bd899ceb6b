#include "discovery/discover.h"

#include <cstring>

#include "discovery/device_list.h"
#include "protocol/builders.h"
#include "protocol/exchange.h"
#include "protocol/trace.h"

namespace kelvo {
namespace {

constexpr std::uint32_t BROADCAST_ADDRESS = 0xFFFFFFFF;

// Identification asks each unit who it is over a temporary connection (a
// probe); the entry's own connection and sequence counter are not used. The
// request is the bare header 12 00 00 00 00 00 00 00 (InfoRequest); the reply
// carries model code, aux byte and unit ID at bytes 16..18. A unit that does
// not answer keeps its values.
//
// Every listed unit is asked at once, up to IDENTIFY_AT_ONCE probes at a
// time: one wait watches every probe, each with its own deadline (the
// connect limit while it connects, then the reply timeout), so units that
// do not answer cost about one connect limit or one reply timeout together,
// not one each. One address has one probe at a time (an entry listed twice
// waits for the first probe, as a unit may take one connection only), and
// an address that let its probe run out of time is not tried again within
// the call, so that repeated answers from one silent host cost its time once.
constexpr std::size_t IDENTIFY_NEED = ident::UNIT_ID + 1;  // reply bytes 0..18
// Silent addresses remembered within one call, and waiting entries looked at
// per refill of free probes.
constexpr int SILENT_MAX = 256;
constexpr int SCAN_MAX = 4 * IDENTIFY_AT_ONCE;

struct Probe {
    DeviceEntry* entry = nullptr;
    platform::Socket socket = platform::NO_SOCKET;
    bool connecting = false;  // else awaiting the reply
    std::int64_t deadline = 0;
    int received = 0;
};

class Identification {
  public:
    void Run(DeviceRegistry& registry);

  private:
    void Refill(std::int64_t now);
    bool Busy(std::uint32_t address) const;
    bool Silent(std::uint32_t address) const;
    bool Start(Probe& p, DeviceEntry& entry, std::int64_t now);
    void Ask(Probe& p, std::int64_t now);
    void Advance(Probe& p, std::int64_t now);
    void Expire(Probe& p);
    void Finish(Probe& p, platform::ConnectResult connect, Outcome outcome, int error);

    Probe probes_[IDENTIFY_AT_ONCE];
    int active_ = 0;
    DeviceEntry* waiting_ = nullptr;  // the first entry not taken up yet
    std::uint32_t silent_[SILENT_MAX];
    int silentCount_ = 0;
};

// The end of one probe: the identity taken from a valid reply, the trace
// line, the probe socket closed.
void Identification::Finish(Probe& p, platform::ConnectResult connect, Outcome outcome, int error) {
    DeviceEntry& entry = *p.entry;
    if (outcome == Outcome::OK) {
        entry.model = entry.frame[ident::MODEL];
        entry.aux = entry.frame[ident::AUX];
        entry.unitId = entry.frame[ident::UNIT_ID];
    }
    if (trace::On())
        trace::Identification(entry, connect, error, outcome, p.received, IDENTIFY_NEED);
    platform::sockets().close(p.socket);
    p.socket = platform::NO_SOCKET;
}

// Connected: send the request and wait for the reply.
void Identification::Ask(Probe& p, std::int64_t now) {
    InfoRequest(p.entry->frame, 0);
    if (platform::sockets().send(p.socket, p.entry->frame.data(),
                                 static_cast<int>(frame::HEADER_SIZE)) < 0) {
        Finish(p, platform::ConnectResult::CONNECTED, Outcome::SEND_FAILED, platform::lastError());
        return;
    }
    p.connecting = false;
    p.received = 0;
    p.deadline = now + REPLY_TIMEOUT_MS;
}

// Opens the probe and starts its connect; false when it already ended.
bool Identification::Start(Probe& p, DeviceEntry& entry, std::int64_t now) {
    const auto& net = platform::sockets();
    p = Probe{};
    p.entry = &entry;
    p.socket = net.openStream();
    if (p.socket == platform::NO_SOCKET) return false;
    const int started = net.connectStart(p.socket, entry.address, entry.port);
    if (started == platform::CONNECT_PENDING) {
        p.connecting = true;
        p.deadline = now + CONNECT_TIMEOUT_MS;
    } else if (started == platform::CONNECT_DONE) {
        Ask(p, now);
    } else {
        Finish(p, platform::ConnectResult::FAILED, Outcome::NOT_CONNECTED, platform::lastError());
    }
    return p.socket != platform::NO_SOCKET;
}

// The probe's socket is ready: its connect ended, or reply bytes came.
void Identification::Advance(Probe& p, std::int64_t now) {
    const auto& net = platform::sockets();
    if (p.connecting) {
        if (net.connectResult(p.socket)) {
            Ask(p, now);
        } else {
            Finish(p, platform::ConnectResult::FAILED, Outcome::NOT_CONNECTED,
                   platform::lastError());
        }
        return;
    }
    CommandFrame& f = p.entry->frame;
    const int n =
        net.recv(p.socket, f.data() + p.received, static_cast<int>(FRAME_SIZE) - p.received);
    if (n < 0) {
        Finish(p, platform::ConnectResult::CONNECTED, Outcome::RECEIVE_FAILED,
               platform::lastError());
        return;
    }
    if (n == 0) {
        Finish(p, platform::ConnectResult::CONNECTED,
               p.received == 0 ? Outcome::CLOSED : Outcome::SHORT_REPLY, 0);
        return;
    }
    p.received += n;
    const Outcome outcome = JudgeReply(f, CMD_INFO, 0, p.received, IDENTIFY_NEED);
    if (outcome != Outcome::SHORT_REPLY || p.received == static_cast<int>(FRAME_SIZE)) {
        Finish(p, platform::ConnectResult::CONNECTED, outcome, 0);
    }
}

// The probe's time is up; a silent address is remembered.
void Identification::Expire(Probe& p) {
    if (p.connecting || p.received == 0) {
        silent_[silentCount_++ % SILENT_MAX] = p.entry->address;
    }
    if (p.connecting) {
        Finish(p, platform::ConnectResult::TIMED_OUT, Outcome::NOT_CONNECTED, 0);
    } else {
        Finish(p, platform::ConnectResult::CONNECTED,
               p.received == 0 ? Outcome::TIMED_OUT : Outcome::SHORT_REPLY, 0);
    }
}

bool Identification::Busy(std::uint32_t address) const {
    for (int i = 0; i < active_; ++i) {
        if (probes_[i].entry->address == address) return true;
    }
    return false;
}

bool Identification::Silent(std::uint32_t address) const {
    const int n = silentCount_ < SILENT_MAX ? silentCount_ : SILENT_MAX;
    for (int i = 0; i < n; ++i) {
        if (silent_[i] == address) return true;
    }
    return false;
}

// Takes up waiting entries in list order while probes are free; an entry
// whose address is being probed waits for a later round.
void Identification::Refill(std::int64_t now) {
    while (waiting_ && waiting_->asked) waiting_ = waiting_->next;
    int looked = 0;
    for (DeviceEntry* e = waiting_; e && active_ < IDENTIFY_AT_ONCE && looked < SCAN_MAX;
         e = e->next) {
        if (e->asked) continue;
        ++looked;
        if (Busy(e->address)) continue;
        e->asked = true;
        if (Silent(e->address)) {
            if (trace::On()) trace::NotAskedAgain(*e);
            continue;
        }
        if (Start(probes_[active_], *e, now)) ++active_;
    }
}

void Identification::Run(DeviceRegistry& registry) {
    const auto& net = platform::sockets();
    platform::Socket sockets[IDENTIFY_AT_ONCE];
    std::uint8_t want[IDENTIFY_AT_ONCE], ready[IDENTIFY_AT_ONCE];
    waiting_ = registry.First();
    std::int64_t now = platform::monotonicMs();
    for (;;) {
        Refill(now);
        if (active_ == 0) break;
        std::int64_t nearest = probes_[0].deadline;
        for (int i = 0; i < active_; ++i) {
            sockets[i] = probes_[i].socket;
            want[i] = probes_[i].connecting ? platform::WAIT_WRITE : platform::WAIT_READ;
            if (probes_[i].deadline < nearest) nearest = probes_[i].deadline;
        }
        const std::int64_t wait = nearest > now ? nearest - now : 0;
        const int n = net.waitAny(sockets, want, ready, active_, static_cast<std::int32_t>(wait));
        now = platform::monotonicMs();
        // A wait that saw nothing has run its time, whatever the clock says.
        if (n == 0 && now < nearest) now = nearest;
        for (int i = 0; i < active_; ++i) {
            Probe& p = probes_[i];
            if (n < 0) {
                Expire(p);  // the wait itself failed: no probe can be judged
            } else if (ready[i]) {
                Advance(p, now);
            } else if (now >= p.deadline) {
                Expire(p);
            }
        }
        // Keep the probes still going, in their order.
        int kept = 0;
        for (int i = 0; i < active_; ++i) {
            if (probes_[i].socket != platform::NO_SOCKET) probes_[kept++] = probes_[i];
        }
        active_ = kept;
    }
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
        Identification().Run(*registry);
    }
    // Drop the units that nobody could identify.
    registry->DropIf(Unidentified);
    if (trace::On()) trace::Initial(registry->mode, registry->Count());
    return registry->Count();
}

}  // namespace kelvo
