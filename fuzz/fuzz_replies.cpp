// fuzz_replies: everything a unit (or anything pretending to be one) can send
// back, against every export of the library.
//
// The network is the fake of fake_network.h; the input says which exports
// are called with which arguments, what each reply and discovery answer
// holds, and which socket calls fail. After every call the target checks
// that the library
//   - returned one of its six status codes,
//   - reported STATUS_OK (or 1, or a handle) only when every exchange of the
//     call had a reply that passed the reply rule, and a failure only when
//     one had not,
//   - stepped the sequence counter once per exchange and sent it in byte 2,
//   - copied out exactly the reply bytes it should, into caller buffers
//     allocated to their exact size (AddressSanitizer sees any overrun),
//   - holds open exactly the sockets its entries name: none leaked, none
//     used or closed after it was closed.
// The library is loaded and unloaded once per input; afterwards every socket
// it opened must be closed. LeakSanitizer catches lost memory.
//
// Input: three little-endian 16-bit lengths, then the operation stream, the
// reply stream and the answer stream of those lengths, then the control
// stream (the rest); the formats of the last three are in fake_network.h.
// Operation stream: an opcode byte (low six bits: the operation; bit 6: pass
// every byte-sized argument with garbage in its upper 24 bits), then the
// operation's argument bytes as read below. A handle argument is one byte:
// low three bits 0 null, 1 an address that is no unit, 2-3 a handle that an
// earlier open returned (perhaps stale), 4-7 the unit at position (byte >> 3)
// in the current list.
//
// Kelvo_Initial broadcasts unless the device list says mode 1. Here the
// broadcast goes to the fake, but the target still refuses to run outside
// the private network namespace of scripts/netns-run.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "discovery/connections.h"
#include "discovery/discover.h"
#include "fuzz/fake_network.h"
#include "fuzz/list_directory.h"
#include "io/channel_io.h"
#include "io/model_table.h"
#include "kelvo.h"
#include "protocol/builders.h"
#include "registry/device_registry.h"
#include "sampling/sampling.h"
#include "support/netcheck.h"

namespace {

using namespace kelvo;
using fuzz::ByteStream;
using fuzz::Exchange;
using fuzz::FakeNetwork;

constexpr int MAX_OPS = 64;
constexpr std::uint32_t MAX_TRANSFER = 4096;
constexpr std::uint8_t FILL = 0xA5;  // what caller memory holds before a call

bool trace = false;
const char* opName = "";
int opIndex = 0;

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "\n*** fuzz_replies: operation %d (%s): %s\n", opIndex, opName, what);
    std::abort();
}

void Check(bool holds, const char* what) {
    if (!holds) Fail(what);
}

bool IsStatus(std::uint16_t s) {
    return s == STATUS_OK || s == STATUS_NO_MEMORY || s == STATUS_NOT_OPEN ||
           s == STATUS_COMM_ERROR || s == STATUS_BAD_SETTING || s == STATUS_BAD_CHANNEL;
}

// Caller memory of exactly n bytes, filled with FILL.
struct Buffer {
    explicit Buffer(std::size_t n) : size(n), bytes(new std::uint8_t[n]) {
        std::memset(bytes.get(), FILL, n);
    }
    std::uint8_t* data() { return bytes.get(); }
    std::uint8_t& operator[](std::size_t i) { return bytes[i]; }
    bool AllAre(std::uint8_t v, std::size_t from = 0) const {
        for (std::size_t i = from; i < size; ++i) {
            if (bytes[i] != v) return false;
        }
        return true;
    }
    std::size_t size;
    std::unique_ptr<std::uint8_t[]> bytes;
};

std::vector<DeviceEntry*> Entries() {
    std::vector<DeviceEntry*> out;
    if (DeviceRegistry* r = Registry()) r->ForEach([&](DeviceEntry& e) { out.push_back(&e); });
    return out;
}

std::int32_t SignExtend(std::uint32_t raw, unsigned bits) {
    if (bits == 0 || bits >= 32) return static_cast<std::int32_t>(raw);
    const std::uint32_t high = ~0u << (bits - 1);
    return static_cast<std::int32_t>((raw & high) ? (raw | high) : (raw & ~high));
}

class Driver {
  public:
    Driver(ByteStream ops, FakeNetwork& net) : ops_(ops), net_(net) {}

    void Run() {
        onLibraryLoad();
        Check(Registry() != nullptr, "no registry after load");
        for (opIndex = 0; opIndex < MAX_OPS && !ops_.empty(); ++opIndex) {
            const std::uint8_t code = ops_.byte();
            wide_ = (code & 0x40) != 0;
            net_.BeginOp();
            Dispatch(code & 0x3F);
            CheckSockets();
        }
        opName = "unload";
        onLibraryUnload();
        Check(net_.OpenSockets().empty(), "sockets left open after unload");
        Check(net_.Opened() == net_.Closed(), "sockets opened and closed do not match");
    }

  private:
    // What a handle operation started from.
    struct Before {
        void* handle = nullptr;
        DeviceEntry* entry = nullptr;
        std::uint8_t sequence = 0;
        platform::Socket socket = platform::NO_SOCKET;
        std::uint64_t opened = 0, closed = 0;
    };

    void Dispatch(std::uint8_t op) {
        switch (op % 28) {
            case 0:
                return OpInitial();
            case 1:
                return OpBrowse();
            case 2:
                return OpBrowseIndex();
            case 3:
                return OpOpen();
            case 4:
                return OpOpenByIP();
            case 5:
                return OpClose();
            case 6:
                return OpAccess();
            case 7:
                return OpVerInfo();
            case 8:
                return OpReadDIO();
            case 9:
                return OpWriteDIO();
            case 10:
                return OpMultiReadDIO();
            case 11:
                return OpMultiWriteDIO();
            case 12:
                return OpSetChDirDIO();
            case 13:
                return OpReadChannel(false);
            case 14:
                return OpReadChannel(true);
            case 15:
                return OpWriteChannel(false);
            case 16:
                return OpWriteChannel(true);
            case 17:
                return OpMultiReadAIO();
            case 18:
                return OpMultiWriteAIO();
            case 19:
                return OpSetGainAIO();
            case 20:
                return OpSetModeCOU();
            case 21:
                return OpSetting();
            case 22:
                return OpMemControl();
            case 23:
                return OpMemStatus();
            case 24:
                return OpMemSeek();
            case 25:
                return OpMemRead();
            case 26:
                return OpMemWrite();
            default:
                return OpDiscover();
        }
    }

    void Begin(const char* name) {
        opName = name;
        if (trace) std::fprintf(stderr, "op %2d %-16s", opIndex, name);
    }
    void Result(long value) {
        if (trace) {
            std::fprintf(stderr, " -> %#lx (%zu exchanges", value, net_.Exchanges().size());
            for (const Exchange& e : net_.Exchanges())
                std::fprintf(stderr, " %c", e.ok() ? '+' : '-');
            std::fprintf(stderr, ")\n");
        }
    }

    // A byte-sized argument as the caller passes it: a 32-bit word whose
    // upper bits the library must ignore.
    std::uint32_t Wide(std::uint8_t v) const { return wide_ ? (v | 0x5A5A5A00u) : v; }

    void* PickHandle() {
        const std::uint8_t b = ops_.byte();
        switch (b & 7) {
            case 0:
                return nullptr;
            case 1:
                return &notAUnit_;
            case 2:
            case 3:
                return handles_.empty() ? nullptr : handles_[(b >> 3) % handles_.size()];
            default: {
                const auto entries = Entries();
                return entries.empty() ? nullptr : HandleOf(*entries[(b >> 3) % entries.size()]);
            }
        }
    }

    Before Start(const char* name) {
        Begin(name);
        Before b;
        b.handle = PickHandle();
        b.entry = Registry() ? Registry()->Find(b.handle) : nullptr;
        b.opened = net_.Opened();
        b.closed = net_.Closed();
        if (b.entry) {
            b.sequence = b.entry->sequence;
            b.socket = b.entry->socket;
        }
        return b;
    }

    // The common rules of an operation on a handle that returns a status.
    //   readFirst: a bad argument may be found after one (good) exchange.
    //   exchanges: whether success needs at least one exchange.
    void CheckCall(const Before& b, std::uint16_t status, bool readFirst = false,
                   bool exchanges = true) {
        Result(status);
        Check(IsStatus(status), "a status that is none of the six");
        const auto& ex = net_.Exchanges();
        if (status == STATUS_OK && exchanges) Check(!ex.empty(), "STATUS_OK without an exchange");
        for (std::size_t i = 0; i + 1 < ex.size(); ++i) {
            Check(ex[i].ok(), "the operation went on after a failed exchange");
        }
        if (status == STATUS_OK) {
            Check(ex.empty() || ex.back().ok(), "STATUS_OK after a failed exchange");
        } else if (status == STATUS_COMM_ERROR) {
            Check(!ex.empty() && !ex.back().ok(), "STATUS_COMM_ERROR without a failed exchange");
        } else if (readFirst) {
            Check(ex.size() <= 1 && (ex.empty() || ex.back().ok()),
                  "an argument error after a failed exchange");
        } else {
            Check(ex.empty(), "an exchange before an argument or handle error");
        }
        if (status == STATUS_NOT_OPEN) Check(!b.entry, "STATUS_NOT_OPEN for a unit in the list");
        if (!b.entry) {
            Check(ex.empty(), "an exchange for a handle that is no unit");
            Check(status == STATUS_NOT_OPEN || status == STATUS_BAD_CHANNEL ||
                      status == STATUS_BAD_SETTING,
                  "a handle that is no unit was accepted");
            return;
        }
        CheckExchanges(b, true);
    }

    // Sequence numbers and the connection across the exchanges of one call.
    // Raw access needs only the checked bytes of its reply (valid), every
    // other call the bytes it reads (ok()).
    void CheckExchanges(const Before& b, bool steps, bool raw = false) {
        const auto& ex = net_.Exchanges();
        for (std::size_t i = 0; i < ex.size(); ++i) {
            const auto expected = static_cast<std::uint8_t>(b.sequence + (steps ? i : 0));
            Check(ex[i].request[frame::SEQUENCE] == expected, "request byte 2 is not the sequence");
            Check(ex[i].socket == b.socket, "an exchange on a socket that is not the unit's");
        }
        const auto stepped = static_cast<std::uint8_t>(b.entry->sequence - b.sequence);
        Check(stepped == (steps ? ex.size() : 0) % 256, "sequence counter stepped wrongly");
        if (!ex.empty() && !(raw ? ex.back().valid : ex.back().ok())) {
            // A failed exchange costs the connection: a fresh one or none.
            Check(b.entry->socket == platform::NO_SOCKET ||
                      b.entry->socket >= net_.FirstSocketThisOp(),
                  "the connection survived a failed exchange");
        } else {
            Check(b.entry->socket == b.socket, "the connection changed without a failure");
        }
    }

    // The one exchange of a single-frame call, or null.
    const Exchange* Only() const {
        const auto& ex = net_.Exchanges();
        Check(ex.size() <= 1, "more than one exchange for a single-frame call");
        return ex.empty() ? nullptr : &ex[0];
    }

    void CheckRequest(const Exchange& e, std::uint8_t command, std::size_t length,
                      std::uint8_t selector, std::uint8_t count) {
        Check(e.requestLength == length, "request length");
        Check(e.request[frame::COMMAND] == command, "request command");
        Check(e.request[frame::STATUS] == 0, "request byte 1 is not 0");
        Check(e.request[frame::SELECTOR] == selector, "request selector");
        Check(e.request[frame::LENGTH] == count, "request byte 4");
    }

    // After every call: the sockets open are exactly those the entries hold.
    void CheckSockets() {
        std::vector<platform::Socket> held;
        for (DeviceEntry* e : Entries()) {
            if (e->socket != platform::NO_SOCKET) held.push_back(e->socket);
        }
        std::sort(held.begin(), held.end());
        Check(std::adjacent_find(held.begin(), held.end()) == held.end(),
              "two units share one socket");
        Check(held == net_.OpenSockets(), "a socket leaked, or a unit holds a closed socket");
    }

    // ---- Discovery and connections ----

    void OpInitial() {
        Begin("Initial");
        const std::uint8_t kind = ops_.byte() % 6;
        const int lines = ops_.byte() % 5;
        net_.SetAnswerBudget(ops_.byte() % 6);
        struct Tuple {
            std::uint8_t model, aux, unitId;
        };
        std::vector<Tuple> listed;
        std::string text;
        static const char* const MODE_LINES[] = {"", "1\r\n", "2\r\n", "0\r\n", "-1\r\n2\r\n"};
        if (kind < 5) {
            text = MODE_LINES[kind];
            for (int i = 0; i < lines; ++i) {
                const std::uint8_t model = ops_.byte(), unitId = ops_.byte(), aux = ops_.byte(),
                                   host = ops_.byte();
                char line[96];
                if (host == 0) {
                    std::snprintf(line, sizeof line,
                                  "u%d,%u,%u,no.such.address,02-00-00-00-00-%02x,%u\r\n", i, model,
                                  unitId, i, aux);
                } else {
                    std::snprintf(line, sizeof line,
                                  "u%d,%u,%u,127.0.0.%u,02-00-00-00-00-%02x,%u\r\n", i, model,
                                  unitId, host, i, aux);
                }
                text += line;
                listed.push_back({model, aux, unitId});
            }
        } else {
            std::uint8_t raw[255];
            text.assign(reinterpret_cast<const char*>(raw), ops_.take(raw, ops_.byte()));
        }
        const std::string path = kelvofuzz::ListPath();
        if (kind == 0) {
            std::remove(path.c_str());
        } else {
            FILE* f = std::fopen(path.c_str(), "wb");
            Check(f != nullptr, "cannot write the device list");
            std::fwrite(text.data(), 1, text.size(), f);
            std::fclose(f);
        }

        const std::int32_t n = Kelvo_Initial();
        Result(n);
        const auto entries = Entries();
        Check(n == static_cast<std::int32_t>(entries.size()), "count is not the number of units");
        Check(Kelvo_BrowseDevice(nullptr) == n, "browse count differs from Initial's");
        Check(net_.OpenSockets().empty(), "Initial left a socket open");
        std::vector<Tuple> identified;
        for (const Exchange& e : net_.Exchanges()) {
            Check(e.requestLength == frame::HEADER_SIZE && e.request[frame::COMMAND] == CMD_INFO &&
                      e.request[frame::SEQUENCE] == 0 && e.request[frame::LENGTH] == 0,
                  "identification request is not 12 00 00 00 00 00 00 00");
            if (e.ok()) {
                identified.push_back(
                    {e.frame[ident::MODEL], e.frame[ident::AUX], e.frame[ident::UNIT_ID]});
            }
        }
        std::size_t answered = 0;
        for (const auto& a : net_.Answers()) answered += a.delivered;
        for (DeviceEntry* e : entries) {
            Check(e->socket == platform::NO_SOCKET, "a unit is connected after Initial");
            Check(e->sequence == 0, "a new unit's sequence counter is not 0");
            Check(
                !(e->model == UNIDENTIFIED && e->aux == UNIDENTIFIED && e->unitId == UNIDENTIFIED),
                "an unidentified unit stayed in the list");
            // Every unit's identity comes from the list or from a valid reply.
            if (kind < 5) {
                auto same = [&](const Tuple& t) {
                    return t.model == e->model && t.aux == e->aux && t.unitId == e->unitId;
                };
                Check(std::any_of(listed.begin(), listed.end(), same) ||
                          std::any_of(identified.begin(), identified.end(), same),
                      "a unit whose identity came from no list line and no valid reply");
            }
        }
        if (kind < 5) {
            Check(entries.size() <= listed.size() + answered, "more units than lines and answers");
        }
        if (kind == 1)
            Check(net_.Opened() == net_.Closed() && net_.Exchanges().empty(),
                  "mode 1 touched the network");
    }

    void OpDiscover() {
        Begin("BroadcastDiscover");
        net_.SetAnswerBudget(ops_.byte() % 6);
        const auto before = Entries();
        BroadcastDiscover(*Registry(), DISCOVERY_PORT, REPLY_TIMEOUT_MS);
        const auto after = Entries();
        Result(static_cast<long>(after.size() - before.size()));
        Check(net_.Exchanges().empty(), "discovery made a command exchange");
        std::size_t added = before.size();
        for (const auto& a : net_.Answers()) {
            if (!a.delivered) continue;  // longer than the buffer: no unit
            Check(added < after.size(), "an answer gave no unit");
            const DeviceEntry* e = after[added++];
            Check(e->address == a.from, "unit address is not the answer's sender");
            if (a.bytes.size() >= DISCOVERY_MAC + 6) {
                Check(std::equal(e->mac.begin(), e->mac.end(), a.bytes.begin() + DISCOVERY_MAC),
                      "MAC is not answer bytes 24..29");
            }
            Check(e->model == UNIDENTIFIED && e->aux == UNIDENTIFIED && e->unitId == UNIDENTIFIED &&
                      e->socket == platform::NO_SOCKET && e->port == COMMAND_PORT &&
                      e->sequence == 0,
                  "a discovered unit is not a fresh record");
        }
        Check(added == after.size(), "a unit without an answer that fitted");
    }

    void CheckSummary(const std::uint8_t* s, const DeviceEntry& e, bool untouchedTail) {
        const ModelInfo& m = LookupModel(e.model);
        Check(s[0] == e.model && s[1] == e.unitId && s[2] == e.aux, "summary identity bytes");
        Check(s[3] == m.total && s[4] == m.bits, "summary total or bits");
        const char* name = reinterpret_cast<const char*>(s + 5);
        const void* nul = std::memchr(name, 0, 16);
        Check(nul != nullptr, "summary name without its zero in 16 bytes");
        Check(std::strcmp(name, m.name ? m.name : "") == 0, "summary name");
        if (untouchedTail) {
            for (std::size_t i = std::strlen(name) + 1; i < 16; ++i) {
                Check(static_cast<std::uint8_t>(name[i]) == FILL, "bytes after the name written");
            }
        }
    }

    void OpBrowse() {
        Begin("BrowseDevice");
        const auto entries = Entries();
        const std::int32_t n = Kelvo_BrowseDevice(nullptr);
        Check(n == static_cast<std::int32_t>(entries.size()), "count is not the number of units");
        Buffer out(static_cast<std::size_t>(n) * SUMMARY_SIZE);
        const std::int32_t written =
            Kelvo_BrowseDevice(reinterpret_cast<KelvoDeviceSummary*>(out.data()));
        Result(written);
        Check(written == n, "records written differ from the count");
        for (std::size_t i = 0; i < entries.size(); ++i) {
            CheckSummary(out.data() + i * SUMMARY_SIZE, *entries[i], true);
        }
    }

    void OpBrowseIndex() {
        Begin("BrowseDeviceIndex");
        const std::uint8_t sel = ops_.byte();
        std::int32_t index = static_cast<std::int32_t>(sel & 0x7F) - 4;
        if (sel & 0x80) index = static_cast<std::int32_t>(ops_.le32());
        const auto entries = Entries();
        Buffer out(SUMMARY_SIZE);
        const std::int32_t r =
            Kelvo_BrowseDeviceIndex(index, reinterpret_cast<KelvoDeviceSummary*>(out.data()));
        Result(r);
        const auto i16 = static_cast<std::int16_t>(index);
        const bool inRange = i16 >= 0 && i16 < static_cast<std::int32_t>(entries.size());
        Check(r == (inRange ? 1 : 0), "BrowseDeviceIndex result");
        if (inRange) {
            CheckSummary(out.data(), *entries[static_cast<std::size_t>(i16)], true);
        } else {
            Check(out.AllAre(FILL), "BrowseDeviceIndex wrote out of range");
        }
    }

    // What Open and OpenByIP must have done with the first matching unit.
    void CheckOpen(DeviceEntry* first, platform::Socket socketBefore, void* h) {
        Result(reinterpret_cast<long>(h));
        Check(net_.Exchanges().empty(), "opening made an exchange");
        if (!first) {
            Check(h == nullptr && net_.ConnectsThisOp() == 0, "a handle for no matching unit");
        } else if (socketBefore != platform::NO_SOCKET) {
            Check(h == HandleOf(*first) && net_.ConnectsThisOp() == 0 &&
                      first->socket == socketBefore,
                  "an open unit was not reused as it was");
        } else if (net_.ConnectsThisOp() == 1 && net_.LastConnectSucceeded()) {
            Check(h == HandleOf(*first) && first->socket != platform::NO_SOCKET,
                  "a connected unit not handed out");
        } else {
            Check(h == nullptr && first->socket == platform::NO_SOCKET,
                  "a handle although the connect failed");
        }
        if (h) handles_.push_back(h);
    }

    void OpOpen() {
        Begin("Open");
        const std::uint8_t sel = ops_.byte(), a = ops_.byte(), b = ops_.byte();
        const auto entries = Entries();
        std::uint8_t model = a, unitId = b;
        if ((sel & 1) && !entries.empty()) {
            const DeviceEntry* e = entries[a % entries.size()];
            model = e->model;
            unitId = e->unitId;
        }
        DeviceEntry* first = nullptr;
        for (DeviceEntry* e : entries) {
            if (e->model == model && e->unitId == unitId) {
                first = e;
                break;
            }
        }
        const platform::Socket before = first ? first->socket : platform::NO_SOCKET;
        const std::uint32_t high = (sel & 2) ? 0x100u * (sel >> 2) : 0;
        CheckOpen(first, before, Kelvo_Open(model + high, unitId + high));
    }

    void OpOpenByIP() {
        Begin("OpenByIP");
        const std::uint8_t sel = ops_.byte();
        const auto entries = Entries();
        std::string text;
        if ((sel & 1) && !entries.empty()) {
            std::uint8_t octets[4];
            std::memcpy(octets, &entries[ops_.byte() % entries.size()]->address, 4);
            char dotted[20];
            std::snprintf(dotted, sizeof dotted, "%u.%u.%u.%u", octets[0], octets[1], octets[2],
                          octets[3]);
            text = dotted;
        } else {
            std::uint8_t raw[32];
            text.assign(reinterpret_cast<const char*>(raw), ops_.take(raw, ops_.byte() % 32));
        }
        // The caller's text, zero-terminated, in memory of exactly its size.
        Buffer address(text.size() + 1);
        std::memcpy(address.data(), text.c_str(), text.size() + 1);
        const std::uint32_t wanted =
            platform::parseAddress(reinterpret_cast<char*>(address.data()));
        DeviceEntry* first = nullptr;
        for (DeviceEntry* e : entries) {
            if (e->address == wanted) {
                first = e;
                break;
            }
        }
        const platform::Socket before = first ? first->socket : platform::NO_SOCKET;
        CheckOpen(first, before, Kelvo_OpenByIP(reinterpret_cast<char*>(address.data())));
    }

    void OpClose() {
        const Before b = Start("Close");
        const std::int32_t r = Kelvo_Close(b.handle);
        Result(r);
        Check(net_.Exchanges().empty(), "closing made an exchange");
        const bool open = b.entry && b.socket != platform::NO_SOCKET;
        Check(r == (open ? 1 : 0), "Close result");
        if (b.entry)
            Check(b.entry->socket == platform::NO_SOCKET, "a unit still connected after Close");
    }

    void OpAccess() {
        const Before b = Start("Access");
        const std::uint8_t flags = ops_.byte();
        std::int32_t length = static_cast<std::int16_t>(ops_.le16());
        if (flags & 2) length += 0x10000;  // only the low 16 bits count
        const auto length16 = static_cast<std::int16_t>(length);
        // Room for the request and for the largest reply data a unit can
        // announce that fits the frame's data area.
        const std::size_t room = std::max<std::size_t>(
            length16 > 0 ? static_cast<std::size_t>(length16) : 0, frame::DATA_SIZE);
        Buffer buffer(room);
        const std::uint8_t given = ops_.byte();
        ops_.take(buffer.data(), std::min<std::size_t>(given, room));
        const Buffer original = Copy(buffer);
        const bool null = (flags & 1) != 0;
        const std::int32_t r = Kelvo_Access(b.handle, length, null ? nullptr : buffer.data());
        Result(r);
        Check(r == 0 || r == 1, "Access result is not 1 or 0");
        const Exchange* e = Only();
        const bool eligible = b.entry && b.socket != platform::NO_SOCKET && !null &&
                              length16 >= static_cast<std::int16_t>(frame::HEADER_SIZE);
        if (!eligible) Check(!e, "Access exchanged a frame it should have refused");
        if (!e) {
            Check(r == 0, "Access succeeded without an exchange");
            Check(std::memcmp(buffer.data(), original.bytes.get(), room) == 0,
                  "Access changed the buffer without an exchange");
            if (b.entry)
                Check(b.entry->sequence == b.sequence, "refused Access stepped the sequence");
            return;
        }
        CheckExchanges(b, true, true);
        Check(e->requestLength == static_cast<std::size_t>(length16), "Access sent another length");
        for (std::size_t i = 0; i < e->requestLength; ++i) {
            if (i == frame::SEQUENCE) continue;
            Check(e->request[i] == original.bytes[i], "Access did not send the caller's bytes");
        }
        // Raw access needs only the checked bytes; its data are the bytes
        // that came, as many as a received byte 4 announces, zeros past
        // the reply's end.
        Check(r == (e->valid ? 1 : 0), "Access result disagrees with the reply");
        std::size_t copied = 0;
        if (e->valid) {
            const auto got = static_cast<std::size_t>(e->receiveResult);
            copied = got > frame::LENGTH
                         ? std::min<std::size_t>(e->frame[frame::LENGTH], frame::DATA_SIZE)
                         : 0;
            for (std::size_t i = 0; i < copied; ++i) {
                const std::uint8_t expected = frame::DATA + i < got ? e->frame[frame::DATA + i] : 0;
                Check(buffer[i] == expected, "Access copied other bytes than the reply data");
            }
        }
        Check(
            std::memcmp(buffer.data() + copied, original.bytes.get() + copied, room - copied) == 0,
            "Access wrote past the reply data");
    }

    static Buffer Copy(const Buffer& from) {
        Buffer to(from.size);
        std::memcpy(to.data(), from.bytes.get(), from.size);
        return to;
    }

    void OpVerInfo() {
        const Before b = Start("GetVerInfo");
        Buffer info(VERSION_INFO_SIZE);
        const std::int32_t r =
            Kelvo_GetVerInfo(b.handle, reinterpret_cast<KelvoVersionInfo*>(info.data()));
        Result(r);
        const Exchange* e = Only();
        Check(!e == !(b.entry && b.socket != platform::NO_SOCKET),
              "GetVerInfo asked a unit it should not, or did not ask one it should");
        if (e) {
            CheckExchanges(b, false);
            CheckRequest(*e, CMD_INFO, frame::HEADER_SIZE, 0, INFO_VERSION);
        }
        std::uint16_t version[4];
        Check(platform::libraryVersion(version), "no library version");
        Check(r == 1, "GetVerInfo failed although the library part is always there");
        Check(info[0] == static_cast<std::uint8_t>(version[0]) &&
                  info[1] == static_cast<std::uint8_t>(version[1]) &&
                  std::memchr(info.data() + 2, 0, 16) != nullptr,
              "library part of VersionInfo");
        if (e && e->ok()) {
            const auto& f = e->frame;
            char date[16];
            std::snprintf(date, sizeof date, "20%02u/%02u/%02u", f[version_reply::YEAR],
                          f[version_reply::MONTH], f[version_reply::DAY]);
            Check(info[18] == f[version_reply::INFO] && info[19] == f[version_reply::MAJOR] &&
                      info[20] == f[version_reply::MINOR],
                  "device version bytes are not the reply's");
            Check(std::memchr(info.data() + 21, 0, 16) != nullptr &&
                      std::strcmp(reinterpret_cast<char*>(info.data() + 21), date) == 0,
                  "device date text");
        } else {
            Check(info.AllAre(0, 18), "device part filled without a valid reply");
        }
    }

    // ---- Digital I/O ----

    static bool Readable(const DeviceEntry& e, unsigned port) {
        return port < LookupModel(e.model).inputs && port < PORT_IMAGE_SIZE;
    }
    static bool Writable(const DeviceEntry& e, unsigned port) {
        return port < LookupModel(e.model).total && port < PORT_IMAGE_SIZE;
    }

    void OpReadDIO() {
        const Before b = Start("ReadDIO");
        const std::uint8_t port = ops_.byte();
        Buffer data(1);
        const std::uint16_t s = Kelvo_ReadDIO(b.handle, Wide(port), data.data());
        CheckCall(b, s);
        if (b.entry)
            Check((s == STATUS_BAD_CHANNEL) == !Readable(*b.entry, port), "port range check");
        if (const Exchange* e = Only()) CheckRequest(*e, CMD_READ, 8, SELECT_ALL, PORT_IMAGE_SIZE);
        Check(data[0] == (s == STATUS_OK ? Only()->frame[frame::DATA + port] : 0),
              "ReadDIO value is not the reply's port byte (or 0 on failure)");
    }

    void OpWriteDIO() {
        const Before b = Start("WriteDIO");
        const std::uint8_t port = ops_.byte(), value = ops_.byte(), mask = ops_.byte();
        const std::uint16_t s = Kelvo_WriteDIO(b.handle, Wide(port), Wide(value), Wide(mask));
        CheckCall(b, s);
        if (b.entry)
            Check((s == STATUS_BAD_CHANNEL) == !Writable(*b.entry, port), "port range check");
        if (const Exchange* e = Only()) {
            CheckRequest(*e, CMD_WRITE, SHORT_REQUEST, SELECT_ALL, 0);
            for (unsigned p = 0; p < PORT_IMAGE_SIZE; ++p) {
                Check(e->request[frame::MASK + p] == (p == port ? mask : 0) &&
                          e->request[frame::DATA + p] == (p == port ? value : 0),
                      "WriteDIO request image");
            }
        }
    }

    // count bytes from the operation stream, in memory of exactly that size.
    Buffer Bytes(std::size_t count) {
        Buffer out(count);
        ops_.take(out.data(), count);
        return out;
    }

    void OpMultiReadDIO() {
        const Before b = Start("MultiReadDIO");
        const std::uint8_t count = ops_.byte();
        Buffer ports = Bytes(count), data(count);
        const std::uint16_t s =
            Kelvo_MultiReadDIO(b.handle, Wide(count), ports.data(), data.data());
        CheckCall(b, s, true);
        const Exchange* e = Only();
        if (e) CheckRequest(*e, CMD_READ, 8, SELECT_ALL, PORT_IMAGE_SIZE);
        if (s == STATUS_OK) {
            for (unsigned i = 0; i < count; ++i) {
                Check(Readable(*b.entry, ports[i]), "MultiReadDIO accepted a bad port");
                Check(data[i] == e->frame[frame::DATA + ports[i]], "MultiReadDIO value");
            }
        } else if (s == STATUS_BAD_CHANNEL) {
            bool bad = false;
            for (unsigned i = 0; i < count; ++i) bad = bad || !Readable(*b.entry, ports[i]);
            Check(bad, "MultiReadDIO refused good ports");
        } else {
            Check(data.AllAre(0), "MultiReadDIO data not zero after a failure");
        }
    }

    void OpMultiWriteDIO() {
        const Before b = Start("MultiWriteDIO");
        const std::uint8_t count = ops_.byte();
        Buffer ports = Bytes(count), values = Bytes(count), masks = Bytes(count);
        const std::uint16_t s =
            Kelvo_MultiWriteDIO(b.handle, Wide(count), ports.data(), values.data(), masks.data());
        CheckCall(b, s);
        if (count == 0) Check(s == STATUS_BAD_CHANNEL, "MultiWriteDIO accepted an empty list");
        if (b.entry && count > 0) {
            bool bad = false;
            for (unsigned i = 0; i < count; ++i) bad = bad || !Writable(*b.entry, ports[i]);
            Check((s == STATUS_BAD_CHANNEL) == bad, "MultiWriteDIO port range check");
        }
        if (const Exchange* e = Only()) {
            CheckRequest(*e, CMD_WRITE, SHORT_REQUEST, SELECT_ALL, 0);
            std::uint8_t v[PORT_IMAGE_SIZE] = {}, m[PORT_IMAGE_SIZE] = {};
            for (unsigned i = 0; i < count; ++i) {
                v[ports[i]] = values[i];
                m[ports[i]] = masks[i];
            }
            Check(std::memcmp(e->request.data() + frame::MASK, m, 8) == 0 &&
                      std::memcmp(e->request.data() + frame::DATA, v, 8) == 0,
                  "MultiWriteDIO request image");
        }
    }

    void OpSetChDirDIO() {
        const Before b = Start("SetChDirDIO");
        const std::uint8_t count = ops_.byte() % 12;
        Buffer directions = Bytes(count);
        const std::uint16_t s = Kelvo_SetChDirDIO(b.handle, Wide(count), directions.data());
        CheckCall(b, s);
        if (b.entry) Check((s == STATUS_BAD_CHANNEL) == (count > 8), "SetChDirDIO count check");
        if (const Exchange* e = Only()) {
            CheckRequest(*e, CMD_CONFIG, SHORT_REQUEST, SELECT_ALL, 0);
            for (unsigned i = 0; i < 8; ++i) {
                Check(e->request[frame::MASK + i] == (i < count ? 0xFF : 0) &&
                          e->request[frame::DATA + i] == (i < count ? directions[i] : 0),
                      "SetChDirDIO request");
            }
        }
    }

    // ---- Analog I/O and counters ----

    void OpReadChannel(bool counter) {
        const Before b = Start(counter ? "ReadCOU" : "ReadAIO");
        const std::uint8_t channel = ops_.byte();
        Buffer value(4);
        auto* out = reinterpret_cast<std::int32_t*>(value.data());
        const std::uint16_t s = counter ? Kelvo_ReadCOU(b.handle, Wide(channel), out)
                                        : Kelvo_ReadAIO(b.handle, Wide(channel), out);
        CheckCall(b, s);
        std::int32_t got;
        std::memcpy(&got, value.data(), 4);
        if (!b.entry) {
            Check(got == 0, "value not zeroed");
            return;
        }
        const ModelInfo& m = LookupModel(b.entry->model);
        Check((s == STATUS_BAD_CHANNEL) == (channel >= m.inputs), "channel range check");
        const unsigned width = ValueWidth(m);
        if (const Exchange* e = Only()) CheckRequest(*e, CMD_READ, 8, channel, width);
        if (s == STATUS_OK) {
            std::uint32_t raw = 0;
            for (unsigned i = 0; i < width; ++i)
                raw |= std::uint32_t{Only()->frame[frame::DATA + i]} << (8 * i);
            Check(got == SignExtend(raw, m.bits), "channel value is not the reply's");
        } else {
            Check(got == 0, "value not zero after a failure");
        }
    }

    void OpWriteChannel(bool counter) {
        const Before b = Start(counter ? "WriteCOU" : "WriteAIO");
        const std::uint8_t channel = ops_.byte();
        const auto value = static_cast<std::int32_t>(ops_.le32());
        const std::uint16_t s = counter ? Kelvo_WriteCOU(b.handle, Wide(channel), value)
                                        : Kelvo_WriteAIO(b.handle, Wide(channel), value);
        CheckCall(b, s);
        if (!b.entry) return;
        const ModelInfo& m = LookupModel(b.entry->model);
        Check((s == STATUS_BAD_CHANNEL) == (channel >= m.outputs), "channel range check");
        if (const Exchange* e = Only()) {
            const unsigned width = ValueWidth(m);
            CheckRequest(*e, CMD_WRITE, SHORT_REQUEST, channel, 0);
            std::uint8_t bytes[4];
            putLE32(bytes, static_cast<std::uint32_t>(value));
            Check(std::memcmp(e->request.data() + frame::DATA, bytes, width) == 0,
                  "channel value in the request");
        }
    }

    void OpMultiReadAIO() {
        const Before b = Start("MultiReadAIO");
        const std::uint8_t count = ops_.byte();
        Buffer channels = Bytes(count), values(count * 4u);
        const std::uint16_t s = Kelvo_MultiReadAIO(b.handle, Wide(count), channels.data(),
                                                   reinterpret_cast<std::int32_t*>(values.data()));
        CheckCall(b, s);
        const Exchange* e = Only();
        if (e) CheckRequest(*e, CMD_READ, 8, SELECT_ALL, frame::DATA_SIZE);
        if (s != STATUS_OK) {
            Check(values.AllAre(0), "MultiReadAIO values not zero after a failure");
            return;
        }
        const unsigned inputs = std::min<unsigned>(LookupModel(b.entry->model).inputs, 32);
        std::uint32_t mask = 0;
        for (unsigned i = 0; i < count; ++i) {
            if (channels[i] < inputs) mask |= 1u << channels[i];
        }
        std::size_t next = 0;
        for (unsigned ch = 0; ch < inputs && ch < 60; ++ch) {
            if (!(mask & (1u << ch))) continue;
            Check(std::memcmp(values.data() + 4 * next++, e->frame.data() + frame::DATA + 4 * ch,
                              4) == 0,
                  "MultiReadAIO value is not the reply's");
        }
        Check(values.AllAre(0, 4 * next), "MultiReadAIO wrote more values than channels chosen");
    }

    void OpMultiWriteAIO() {
        const Before b = Start("MultiWriteAIO");
        const std::uint8_t count = ops_.byte();
        Buffer channels = Bytes(count), values = Bytes(count * 4u);
        const std::uint16_t s =
            Kelvo_MultiWriteAIO(b.handle, Wide(count), channels.data(),
                                reinterpret_cast<const std::int32_t*>(values.data()));
        CheckCall(b, s);
        const Exchange* e = Only();
        if (!e) return;
        CheckRequest(*e, CMD_WRITE, MASK_WRITE_REQUEST, SELECT_ALL, 0);
        const unsigned outputs = std::min<unsigned>(LookupModel(b.entry->model).outputs, 32);
        std::uint32_t mask = 0;
        for (unsigned i = 0; i < count; ++i) {
            if (channels[i] < outputs) mask |= 1u << channels[i];
        }
        Check(getLE32(e->request.data() + frame::MASK) == mask, "MultiWriteAIO channel mask");
        std::size_t next = 0;
        for (unsigned ch = 0; ch < 16; ++ch) {  // the 64 data bytes that travel
            const std::uint8_t* sent = e->request.data() + frame::DATA + 4 * ch;
            if (mask & (1u << ch)) {
                Check(std::memcmp(sent, values.data() + 4 * next++, 4) == 0, "MultiWriteAIO value");
            } else {
                Check(getLE32(sent) == 0, "MultiWriteAIO value for a channel not chosen");
            }
        }
    }

    void OpSetGainAIO() {
        const Before b = Start("SetGainAIO");
        const std::uint8_t channel = ops_.byte(), gain = ops_.byte();
        const std::uint16_t s = Kelvo_SetGainAIO(b.handle, Wide(channel), Wide(gain));
        CheckCall(b, s);
        if (const Exchange* e = Only()) {
            CheckRequest(*e, CMD_CONFIG, SHORT_REQUEST, channel, 0);
            Check(e->request[frame::DATA] == gain, "gain byte");
        }
    }

    void OpSetModeCOU() {
        const Before b = Start("SetModeCOU");
        const std::uint8_t channel = ops_.byte(), low = ops_.byte(), high = ops_.byte();
        const std::uint16_t s = Kelvo_SetModeCOU(b.handle, Wide(channel), Wide(low), Wide(high));
        CheckCall(b, s);
        if (const Exchange* e = Only()) {
            CheckRequest(*e, CMD_CONFIG, SHORT_REQUEST, channel, 0);
            Check(e->request[frame::DATA] == static_cast<std::uint8_t>((high << 4) | low),
                  "mode byte");
        }
    }

    // ---- Sampling settings: no exchange, outputs written only on success ----

    void OpSetting() {
        const std::uint8_t which = ops_.byte() % 17;
        const Before b = Start("Setting");
        std::uint16_t s = 0;
        std::vector<Buffer> outs;
        auto out = [&](std::size_t n) {
            outs.emplace_back(n);
            return outs.back().data();
        };
        outs.reserve(4);
        const std::uint8_t a = ops_.byte(), c = ops_.byte();
        const std::uint32_t v = ops_.le32();
        switch (which) {
            case 0:
                s = Kelvo_SetMemSamplingCycleDIO(b.handle, Wide(a), Wide(c));
                break;
            case 1:
                s = Kelvo_SetMemSamplingCycleAI(b.handle, Wide(a), Wide(c));
                break;
            case 2:
                s = Kelvo_SetMemTriggerDIO(b.handle, Wide(a), Wide(c), v);
                break;
            case 3:
                s = Kelvo_SetMemTriggerAIO(b.handle, Wide(a), Wide(c), v);
                break;
            case 4: {
                Buffer d1 = Bytes(2), d2 = Bytes(2);
                s = Kelvo_SetMemTrgDataDIO(b.handle, Wide(a), d1.data(), d2.data());
                break;
            }
            case 5:
                s = Kelvo_SetMemTrgDataAI(b.handle, Wide(a), Wide(c));
                break;
            case 6:
                s = Kelvo_SetMemOutputModeAO(b.handle, Wide(a));
                break;
            case 7: {
                Buffer channels = Bytes(a);
                s = Kelvo_SetMemTargetChannelAI(b.handle, Wide(a), channels.data());
                break;
            }
            case 8:
                s = Kelvo_SetMemSamplingFreqAO(b.handle, Wide(a), v);
                break;
            case 9:
                s = Kelvo_GetMemSamplingCycleDIO(b.handle, out(1), out(1));
                break;
            case 10:
                s = Kelvo_GetMemSamplingCycleAI(b.handle, out(1), out(1));
                break;
            case 11:
                s = Kelvo_GetMemTriggerDIO(b.handle, out(1), out(1),
                                           reinterpret_cast<std::uint16_t*>(out(2)));
                break;
            case 12:
                s = Kelvo_GetMemTriggerAIO(b.handle, out(1), out(1),
                                           reinterpret_cast<std::uint16_t*>(out(2)));
                break;
            case 13: {
                Buffer count(1);
                count[0] = a;
                s = Kelvo_GetMemTrgDataDIO(b.handle, count.data(), out(2), out(2));
                break;
            }
            case 14:
                s = Kelvo_GetMemTrgDataAI(b.handle, out(1), out(1));
                break;
            case 15:
                s = Kelvo_GetMemOutputModeAO(b.handle, out(1));
                break;
            default:
                s = Kelvo_GetMemSamplingFreqAO(b.handle, out(1),
                                               reinterpret_cast<std::uint32_t*>(out(4)));
                break;
        }
        CheckCall(b, s, false, false);
        Check(s == STATUS_OK || s == STATUS_NOT_OPEN || s == STATUS_BAD_SETTING,
              "a settings call returned a status it cannot have");
        Check(net_.Exchanges().empty() && net_.Opened() == b.opened && net_.Closed() == b.closed,
              "a settings call touched the network");
        if (s != STATUS_OK) {
            for (const Buffer& o : outs) Check(o.AllAre(FILL), "a getter wrote although it failed");
        }
    }

    // ---- Sampling control and memory transfer ----

    void OpMemControl() {
        const std::uint8_t which = ops_.byte() % 4;
        const Before b = Start("MemStart/Stop");
        const std::uint16_t s = which == 0   ? Kelvo_MemStartDIO(b.handle)
                                : which == 1 ? Kelvo_MemStartAIO(b.handle)
                                : which == 2 ? Kelvo_MemStopDIO(b.handle)
                                             : Kelvo_MemStopAIO(b.handle);
        CheckCall(b, s);
        if (const Exchange* e = Only()) {
            CheckRequest(*e, CMD_MEM_CONTROL, MEM_CONTROL_SIZE, 0, 0);
            Check(e->request[8] == (which < 2 ? MEM_CONTROL_START : MEM_CONTROL_STOP) &&
                      e->request[9] == 0,
                  "control code");
            Check(std::memcmp(e->request.data() + 10, b.entry->sampling.data() + 2, 24) == 0 &&
                      e->request[34] == 0 && e->request[35] == 0,
                  "settings record in the request");
        }
    }

    void OpMemStatus() {
        const std::uint8_t which = ops_.byte() % 2;
        const Before b = Start("MemSampleStatus");
        Buffer count(4);
        auto* out = reinterpret_cast<std::uint32_t*>(count.data());
        const std::uint8_t r = which ? Kelvo_MemSampleStatusAIO(b.handle, out)
                                     : Kelvo_MemSampleStatusDIO(b.handle, out);
        Result(r);
        const Exchange* e = Only();
        if (b.entry) {
            Check(e != nullptr, "MemSampleStatus did not ask the unit");
            CheckExchanges(b, true);
            CheckRequest(*e, CMD_MEM_STATUS, 8, 0, MEM_STATUS_ASK);
        } else {
            Check(e == nullptr, "an exchange for a handle that is no unit");
        }
        std::uint32_t got;
        std::memcpy(&got, count.data(), 4);
        if (e && e->ok()) {
            Check(r == e->frame[MEM_STATUS_BYTE], "status byte is not the reply's");
            Check(got == std::uint32_t{getLE16(e->frame.data() + MEM_STATUS_COUNT)}
                             << MEM_COUNT_SHIFT,
                  "memory count is not the reply's");
        } else {
            Check(r == 0 && got == 0, "status and count not zero after a failure");
        }
    }

    void OpMemSeek() {
        const std::uint8_t which = ops_.byte() % 2;
        const Before b = Start("MemSeek");
        const std::uint32_t position = ops_.le32();
        const std::uint16_t s =
            which ? Kelvo_MemSeekAIO(b.handle, position) : Kelvo_MemSeekDIO(b.handle, position);
        CheckCall(b, s);
        if (const Exchange* e = Only()) {
            CheckRequest(*e, CMD_MEM_CONTROL, MEM_CONTROL_SIZE, 0, 0);
            Check(e->request[8] == MEM_CONTROL_SEEK && getLE32(e->request.data() + 16) == position,
                  "seek request");
        }
    }

    // The chunk lengths and flags every transfer request must carry.
    void CheckChunks(std::uint32_t length, std::uint8_t flag, std::uint8_t command,
                     std::size_t requestLength) {
        const auto& ex = net_.Exchanges();
        std::uint32_t done = 0;
        for (std::size_t i = 0; i < ex.size(); ++i) {
            Check(done < length, "more chunks than the transfer needs");
            const std::uint32_t chunk = std::min<std::uint32_t>(frame::CHUNK_SIZE, length - done);
            const bool last = done + chunk == length;
            const std::uint8_t expected = last ? CHUNK_LAST : (i == 0 ? flag : 0);
            Check(ex[i].requestLength == requestLength && ex[i].request[0] == command &&
                      ex[i].request[frame::LENGTH] == chunk &&
                      ex[i].request[frame::FLAGS] == expected,
                  "chunk request header");
            done += chunk;
        }
    }

    void OpMemRead() {
        const std::uint8_t which = ops_.byte() % 4;
        const Before b = Start("MemRead");
        const std::uint32_t length = ops_.le16() % (MAX_TRANSFER + 1);
        Buffer buffer(length);
        using Read = std::uint16_t (*)(KELVO_HANDLE, std::uint32_t, std::uint8_t*);
        static const Read READS[] = {Kelvo_MemReadDIO, Kelvo_MemReadAIO, Kelvo_MemSeekReadDIO,
                                     Kelvo_MemSeekReadAIO};
        const std::uint16_t s = READS[which](b.handle, length, buffer.data());
        CheckCall(b, s, false, length > 0);
        const std::uint8_t flag = which < 2 ? CHUNK_FIRST : 0;
        CheckChunks(length, flag, CMD_MEM_READ, frame::HEADER_SIZE);
        const auto& ex = net_.Exchanges();
        if (s == STATUS_OK) {
            Check(ex.size() == (length + frame::CHUNK_SIZE - 1) / frame::CHUNK_SIZE,
                  "MemRead succeeded with chunks missing");
        }
        std::size_t done = 0;
        for (std::size_t i = 0; i < ex.size(); ++i) {
            const std::size_t chunk = std::min<std::size_t>(frame::CHUNK_SIZE, length - done);
            if (i > 0) {
                // Later chunk requests carry bytes 1, 3 and 6..7 of the reply before.
                const auto& prev = ex[i - 1].frame;
                const auto& req = ex[i].request;
                Check(req[1] == prev[1] && req[3] == prev[3] && req[6] == prev[6] &&
                          req[7] == prev[7],
                      "chunk request does not carry the previous reply's bytes");
            } else {
                Check(ex[0].request[1] == 0 && ex[0].request[3] == 0 && ex[0].request[6] == 0 &&
                          ex[0].request[7] == 0,
                      "first chunk request not clear");
            }
            if (ex[i].ok()) {
                Check(std::memcmp(buffer.data() + done, ex[i].frame.data() + frame::HEADER_SIZE,
                                  chunk) == 0,
                      "MemRead data is not the reply's");
                done += chunk;
            }
        }
        Check(buffer.AllAre(FILL, done), "MemRead wrote beyond the chunks received");
    }

    void OpMemWrite() {
        const std::uint8_t which = ops_.byte() % 4;
        const Before b = Start("MemWrite");
        const std::uint32_t length = ops_.le16() % (MAX_TRANSFER + 1);
        const std::uint8_t seed = ops_.byte();
        Buffer source(length);
        for (std::uint32_t i = 0; i < length; ++i)
            source[i] = static_cast<std::uint8_t>(seed + i * 7);
        using Write = std::uint16_t (*)(KELVO_HANDLE, std::uint32_t, const std::uint8_t*);
        static const Write WRITES[] = {Kelvo_MemWriteDIO, Kelvo_MemWriteAIO, Kelvo_MemSeekWriteDIO,
                                       Kelvo_MemSeekWriteAIO};
        const std::uint16_t s = WRITES[which](b.handle, length, source.data());
        CheckCall(b, s, false, length > 0);
        const std::uint8_t flag = which < 2 ? CHUNK_FIRST : 0;
        CheckChunks(length, flag, CMD_MEM_WRITE, FRAME_SIZE);
        const auto& ex = net_.Exchanges();
        if (s == STATUS_OK) {
            Check(ex.size() == (length + frame::CHUNK_SIZE - 1) / frame::CHUNK_SIZE,
                  "MemWrite succeeded with chunks missing");
        }
        std::size_t done = 0;
        for (const Exchange& e : ex) {
            const std::size_t chunk = std::min<std::size_t>(frame::CHUNK_SIZE, length - done);
            Check(std::memcmp(e.request.data() + frame::HEADER_SIZE, source.data() + done, chunk) ==
                      0,
                  "MemWrite chunk is not the caller's data");
            for (std::size_t i = frame::HEADER_SIZE + chunk; i < FRAME_SIZE; ++i) {
                Check(e.request[i] == 0, "MemWrite chunk not padded with zeros");
            }
            done += chunk;
        }
    }

    ByteStream ops_;
    FakeNetwork& net_;
    bool wide_ = false;
    int notAUnit_ = 0;
    std::vector<void*> handles_;  // every handle handed out, stale ones too
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    if (!kelvotest::onlyLoopback()) {
        std::fprintf(stderr,
                     "fuzz_replies calls Kelvo_Initial, which broadcasts: run it through "
                     "scripts/netns-run (scripts/run-fuzz does)\n");
        std::exit(2);
    }
    FakeNetwork::Install();
    trace = std::getenv("KELVO_FUZZ_TRACE") != nullptr;
    // The device list lives in a directory of our own.
    kelvofuzz::UsePrivateListDirectory();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    ByteStream input(data, size);
    const std::size_t opsLength = input.le16(), repliesLength = input.le16(),
                      answersLength = input.le16();
    ByteStream ops = input.split(opsLength);
    ByteStream replies = input.split(repliesLength);
    ByteStream answers = input.split(answersLength);
    FakeNetwork& net = FakeNetwork::Get();
    net.Reset(replies, answers, input);
    Driver(ops, net).Run();
    return 0;
}
