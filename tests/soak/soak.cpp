// Soak and load runs of the library against kelvo-sim, through the public C
// interface loaded as callers load it. Started by run-soak, which starts the
// simulator first (in a private network namespace: Kelvo_Initial broadcasts).
//
//   kelvo_soak faults [--ops N] [--seconds S] [--seed X] UNIT...
//       N operations of every kind on random units while kelvo-sim injects
//       random faults. Each call is judged by what the simulator's exchange
//       log says happened to its exchanges: success exactly when every reply
//       came back sound, no output from a failed call, no exchange with
//       another unit than the handle's, and every value read equal to what a
//       model of the unit, kept from the exchanges it carried out, holds.
//   kelvo_soak load [--rounds R] [--ops N] [--seconds S] UNIT...
//       R rounds of Kelvo_Initial; each round refuses every earlier handle,
//       opens every unit and drives each in turn for N operations, no faults.
//
// UNIT is MODEL:UNITID@ADDRESS (e.g. KV-108:1@127.0.0.2), one per simulated
// unit. The exchange log is ./exchange.log. On Linux the process may hold no
// more sockets than units it has open, and none once all are closed.
// Exit status 0 when nothing was found, 1 otherwise, 2 on bad arguments.
#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "kelvo.h"
#include "soak/exchange_log.h"
#include "support/device_list.h"
#include "support/library.h"
#include "support/netcheck.h"
#include "support/sockets_held.h"

namespace kelvosoak {
namespace {

using kelvotest::lib;
using Clock = std::chrono::steady_clock;

constexpr std::size_t MEMORY_SIZE = 65536;  // run-soak gives kelvo-sim --mem-size 65536
constexpr std::size_t CHUNK = 248;          // bytes per memory-transfer exchange
constexpr std::uint8_t CHUNK_FIRST = 0x80;
constexpr std::uint8_t CHUNK_LAST = 0x40;
constexpr std::size_t VERSION_INFO_SIZE = 37;
constexpr std::size_t UNIT_PART = 18;  // where the unit's half of the version record starts

enum class Kind { Digital, AnalogIn, AnalogOut, Counter };

struct Shape {
    int inputs, outputs, total;
    Kind kind;
};

// The twenty models as their manual describes them.
Shape ShapeOf(int model) {
    static const std::map<int, Shape> shapes = {
        {1, {2, 0, 2, Kind::Digital}},     {2, {2, 0, 2, Kind::Digital}},
        {3, {1, 1, 2, Kind::Digital}},     {4, {1, 1, 2, Kind::Digital}},
        {5, {0, 2, 2, Kind::Digital}},     {6, {0, 2, 2, Kind::Digital}},
        {7, {0, 2, 2, Kind::Digital}},     {8, {3, 3, 3, Kind::Digital}},
        {9, {16, 0, 16, Kind::AnalogIn}},  {10, {0, 4, 4, Kind::AnalogOut}},
        {11, {2, 2, 2, Kind::Counter}},    {12, {8, 0, 8, Kind::Digital}},
        {13, {4, 0, 4, Kind::Digital}},    {14, {0, 8, 8, Kind::Digital}},
        {15, {0, 4, 4, Kind::Digital}},    {16, {4, 4, 8, Kind::Digital}},
        {17, {2, 2, 4, Kind::Digital}},    {18, {2, 2, 2, Kind::Digital}},
        {19, {16, 0, 16, Kind::AnalogIn}}, {20, {0, 4, 4, Kind::AnalogOut}},
    };
    const auto it = shapes.find(model);
    if (it == shapes.end()) throw std::invalid_argument("no model " + std::to_string(model));
    return it->second;
}

// What the test knows of one simulated unit: its identity, and a model of the
// state that reads must show, kept from the exchanges the unit carried out.
struct Unit {
    std::string name;
    int model = 0, unitId = 0;
    std::string address;
    Shape shape{};
    KELVO_HANDLE handle = nullptr;
    std::array<std::uint8_t, 8> ports{};  // digital port image
    std::array<std::uint32_t, 4> held{};  // analog output values
    std::vector<std::uint8_t> memory = std::vector<std::uint8_t>(MEMORY_SIZE);
    std::uint64_t position = 0;  // the unit's memory-transfer position
    bool lastFailed = false;     // the connection may be gone
    std::array<std::uint8_t, VERSION_INFO_SIZE - UNIT_PART> version{};  // first good reading
    bool versionKnown = false;
};

Unit ParseUnit(const std::string& text) {
    // MODEL:UNITID@ADDRESS with MODEL as "KV-1NN".
    Unit u;
    u.name = text;
    const auto colon = text.find(':'), at = text.find('@');
    if (text.rfind("KV-1", 0) != 0 || colon == std::string::npos || at == std::string::npos ||
        at < colon) {
        throw std::invalid_argument("unit '" + text + "': expected KV-1NN:ID@ADDRESS");
    }
    u.model = std::stoi(text.substr(4, colon - 4));
    u.unitId = std::stoi(text.substr(colon + 1, at - colon - 1));
    u.address = text.substr(at + 1);
    u.shape = ShapeOf(u.model);
    return u;
}

class Soak {
  public:
    Soak(std::vector<Unit> units, std::uint32_t seed)
        : units_(std::move(units)), rng_(seed), log_("exchange.log") {}

    bool Ready() {
        if (!log_.isOpen()) Problem(nullptr, "setup", "cannot read exchange.log");
        return problems_ == 0;
    }

    // Kelvo_Initial, then every unit opened by its address.
    bool Start() {
        const std::int32_t found = lib().Initial();
        if (found != static_cast<std::int32_t>(units_.size())) {
            Problem(
                nullptr, "Initial",
                "found " + std::to_string(found) + " units of " + std::to_string(units_.size()));
            return false;
        }
        for (Unit& u : units_) {
            u.handle = lib().OpenByIP(u.address.c_str());
            if (!u.handle) Problem(&u, "OpenByIP", "no handle");
            u.lastFailed = false;
        }
        log_.take();  // identification, before the measured calls
        CheckSockets(units_.size());
        return problems_ == 0;
    }

    void Faults(long ops, long seconds) {
        const auto end = Clock::now() + std::chrono::seconds(seconds);
        long done = 0;
        for (; done < ops && Clock::now() < end; ++done) {
            Unit& u = units_[Pick(units_.size())];
            RandomOperation(u);
            CheckSockets(units_.size());
        }
        if (done < ops) std::printf("soak: time cap of %ld s reached\n", seconds);
        CloseAll();
    }

    void Load(int rounds, int opsPerUnit, long seconds) {
        const auto end = Clock::now() + std::chrono::seconds(seconds);
        std::vector<KELVO_HANDLE> old;
        for (int round = 0; round < rounds; ++round) {
            if (Clock::now() >= end) {
                std::printf("soak: time cap of %ld s reached after %d rounds\n", seconds, round);
                break;
            }
            if (round > 0) {
                // Every earlier handle is refused, before and after the new
                // records are opened.
                const std::int32_t found = lib().Initial();
                if (found != static_cast<std::int32_t>(units_.size())) {
                    Problem(nullptr, "Initial", "found " + std::to_string(found) + " units");
                }
                log_.take();
                CheckSockets(0, true);
                RefuseAll(old);
            }
            for (Unit& u : units_) {
                u.handle = lib().Open(static_cast<std::uint32_t>(u.model),
                                      static_cast<std::uint32_t>(u.unitId));
                if (!u.handle) Problem(&u, "Open", "no handle");
                if (std::find(old.begin(), old.end(), u.handle) != old.end() && u.handle) {
                    Problem(&u, "Open", "an earlier round's handle came back");
                }
                u.lastFailed = false;
            }
            RefuseAll(old);
            log_.take();
            for (Unit& u : units_) {
                for (int i = 0; i < opsPerUnit; ++i) RandomOperation(u);
            }
            CheckSockets(units_.size(), true);
            for (const Unit& u : units_) old.push_back(u.handle);
        }
        CloseAll();
    }

    int Report() const {
        std::printf("soak: %ld calls, %ld exchanges, %ld calls failed, %ld values checked\n",
                    operations_, exchanges_, failedCalls_, valuesChecked_);
        if (!faults_.empty()) {
            std::printf("soak: faults met:");
            for (const auto& [kind, n] : faults_) std::printf(" %s %ld", kind.c_str(), n);
            std::printf("\n");
        }
        std::printf("soak: sockets %s\n",
                    kelvotest::socketsHeld() < 0 ? "not counted here" : "counted after every call");
        if (problems_ == 0) {
            std::printf("soak: no problems\n");
            return 0;
        }
        std::printf("soak: %ld problems\n", problems_);
        return 1;
    }

  private:
    // ---- judging ---------------------------------------------------------

    void Problem(const Unit* u, const char* op, const std::string& what) {
        if (++problems_ <= 30) {
            std::printf("PROBLEM after %ld calls: %s %s: %s\n", operations_,
                        u ? u->name.c_str() : "", op, what.c_str());
        }
    }

    static std::string Describe(const Exchange& e) {
        return "cmd " + std::to_string(e.command) + " " + e.outcome + " " + std::to_string(e.arg) +
               " after " + std::to_string(e.delayMs) + " ms";
    }

    // The exchanges of a call that may make `planned` of them, checked
    // against what the call reported. Returns them for the model's update.
    std::vector<Exchange> Judge(Unit& u, const char* op, bool succeeded, std::size_t planned) {
        std::vector<Exchange> ex = log_.take();
        ++operations_;
        exchanges_ += static_cast<long>(ex.size());
        for (std::size_t i = 0; i < ex.size(); ++i) {
            if (ex[i].malformed) Problem(&u, op, "unreadable exchange-log line");
            if (ex[i].address != u.address) Problem(&u, op, "an exchange with " + ex[i].address);
            if (ex[i].outcome != "none") ++faults_[ex[i].outcome];
            if (ex[i].delayMs >= REPLY_TIMEOUT_MS) ++faults_["late"];
            if (i > 0 && ex[i].sequence != ((ex[i - 1].sequence + 1) & 0xFF)) {
                Problem(&u, op, "sequence did not step by one within the call");
            }
        }
        if (ex.size() > planned) {
            Problem(
                &u, op,
                std::to_string(ex.size()) + " exchanges, " + std::to_string(planned) + " planned");
        }
        if (succeeded) {
            if (ex.size() != planned) {
                Problem(&u, op,
                        "succeeded after " + std::to_string(ex.size()) + " of " +
                            std::to_string(planned) + " exchanges");
            }
            for (const Exchange& e : ex) {
                if (e.faulty()) Problem(&u, op, "succeeded although " + Describe(e));
            }
        } else {
            ++failedCalls_;
            if (ex.empty()) {
                // Only a connection lost by an earlier failure (and not
                // regained) ends a call before it reaches the unit.
                if (!u.lastFailed) Problem(&u, op, "failed without an exchange");
            } else {
                if (ex.back().sound()) Problem(&u, op, "failed although " + Describe(ex.back()));
                for (std::size_t i = 0; i + 1 < ex.size(); ++i) {
                    if (ex[i].faulty()) Problem(&u, op, "went on after " + Describe(ex[i]));
                }
            }
        }
        u.lastFailed = !succeeded;
        return ex;
    }

    // A call refused before anything was sent.
    void NothingSent(Unit& u, const char* op) {
        ++operations_;
        if (!log_.take().empty()) Problem(&u, op, "an exchange for a refused call");
    }

    void Expect(Unit& u, const char* op, bool good, const std::string& what) {
        ++valuesChecked_;
        if (!good) Problem(&u, op, what);
    }

    void CheckSockets(std::size_t allowed, bool exact = false) {
        const int n = kelvotest::socketsHeld();
        if (n < 0) return;
        if (static_cast<std::size_t>(n) > allowed ||
            (exact && static_cast<std::size_t>(n) != allowed)) {
            Problem(nullptr, "sockets",
                    std::to_string(n) + " sockets held, " + std::to_string(allowed) + " expected");
        }
    }

    void RefuseAll(const std::vector<KELVO_HANDLE>& handles) {
        for (KELVO_HANDLE h : handles) {
            std::uint8_t d = 0xEE;
            std::uint8_t frame[8] = {0x11, 0, 0, 0xFF, 8};
            ++valuesChecked_;
            if (lib().ReadDIO(h, 0, &d) != KELVO_STATUS_NOT_OPEN || d != 0 || lib().Close(h) != 0 ||
                lib().Access(h, 8, frame) != 0) {
                Problem(nullptr, "old handle", "an earlier round's handle was accepted");
            }
        }
        if (!log_.take().empty()) Problem(nullptr, "old handle", "an exchange for an old handle");
    }

    void CloseAll() {
        for (Unit& u : units_) {
            if (u.handle) lib().Close(u.handle);
        }
        if (!log_.take().empty()) Problem(nullptr, "Close", "closing made an exchange");
        CheckSockets(0, true);
    }

    // ---- operations ------------------------------------------------------

    std::size_t Pick(std::size_t n) {
        return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng_);
    }
    std::uint8_t Byte() { return static_cast<std::uint8_t>(Pick(256)); }

    using Operation = void (Soak::*)(Unit&);

    template <std::size_t N>
    void OneOf(Unit& u, const Operation (&operations)[N]) {
        (this->*operations[Pick(N)])(u);
    }

    void RandomOperation(Unit& u) {
        static constexpr Operation anyUnit[] = {
            &Soak::Version,  &Soak::RawRead, &Soak::SeekWrite,    &Soak::SeekRead,
            &Soak::MemWrite, &Soak::MemRead, &Soak::SampleStatus, &Soak::Settings};
        static constexpr Operation digital[] = {&Soak::ReadPort, &Soak::WritePort, &Soak::ReadPorts,
                                                &Soak::WritePorts, &Soak::Directions};
        static constexpr Operation analogIn[] = {&Soak::ReadChannel, &Soak::ReadChannels,
                                                 &Soak::Gain};
        static constexpr Operation analogOut[] = {&Soak::WriteChannel, &Soak::WriteChannels,
                                                  &Soak::ReadOutputChannel};
        static constexpr Operation counter[] = {&Soak::ReadCounter, &Soak::WriteCounter,
                                                &Soak::CounterMode};
        // Mostly the unit's own kind of I/O; memory, version and raw access
        // on every unit; now and then a close and reopen.
        const std::size_t roll = Pick(100);
        if (roll == 0) return Reopen(u);
        if (roll < 40) return OneOf(u, anyUnit);
        switch (u.shape.kind) {
            case Kind::Digital:
                return OneOf(u, digital);
            case Kind::AnalogIn:
                return OneOf(u, analogIn);
            case Kind::AnalogOut:
                return OneOf(u, analogOut);
            case Kind::Counter:
                return OneOf(u, counter);
        }
    }

    void Reopen(Unit& u) {
        lib().Close(u.handle);
        KELVO_HANDLE h = lib().OpenByIP(u.address.c_str());
        ++operations_;
        if (!log_.take().empty()) Problem(&u, "Close/OpenByIP", "an exchange");
        // A unit that is restarting cannot be reached; its handle stays.
        if (h && h != u.handle) Problem(&u, "OpenByIP", "another handle for the same unit");
        u.lastFailed = h == nullptr;
    }

    // Returns 1 whenever the library's half is filled; the unit's half is
    // filled exactly when its exchange succeeded, and cleared otherwise.
    void Version(Unit& u) {
        std::uint8_t info[VERSION_INFO_SIZE];
        std::memset(info, 0xEE, sizeof info);
        const std::int32_t result =
            lib().GetVerInfo(u.handle, reinterpret_cast<KelvoVersionInfo*>(info));
        const std::uint8_t* unitPart = info + UNIT_PART;
        const std::uint8_t* end = info + VERSION_INFO_SIZE;
        const bool filled = std::any_of(unitPart, end, [](std::uint8_t b) { return b != 0; });
        Judge(u, "GetVerInfo", filled, 1);
        Expect(u, "GetVerInfo", result == 1, "the library's version missing");
        if (!filled) return;
        if (!u.versionKnown) {
            std::copy(unitPart, end, u.version.begin());
            u.versionKnown = true;
        }
        Expect(u, "GetVerInfo", std::equal(u.version.begin(), u.version.end(), unitPart),
               "unit part differs from the first reading");
    }

    // A raw read of every port or channel through Kelvo_Access.
    void RawRead(Unit& u) {
        std::uint8_t frame[256] = {0x11, 0, 0, 0xFF, 16};
        const bool ok = lib().Access(u.handle, 8, frame) == 1;
        Judge(u, "Access", ok, 1);
        if (!ok) return;
        if (u.shape.kind == Kind::Digital) {
            for (int p = 0; p < u.shape.total; ++p) {
                Expect(u, "Access", frame[p] == u.ports[static_cast<std::size_t>(p)],
                       "port " + std::to_string(p) + " reads " + std::to_string(frame[p]) +
                           ", model holds " + std::to_string(u.ports[static_cast<std::size_t>(p)]));
            }
        } else if (u.shape.kind == Kind::AnalogOut) {
            for (std::size_t c = 0; c < 4; ++c) {
                std::uint32_t v = 0;
                for (std::size_t i = 0; i < 4; ++i) v |= std::uint32_t{frame[4 * c + i]} << (8 * i);
                Expect(u, "Access", v == u.held[c],
                       "channel " + std::to_string(c) + " holds " + std::to_string(v) +
                           ", model holds " + std::to_string(u.held[c]));
            }
        }
    }

    // ---- digital ----

    void ApplyPort(Unit& u, std::size_t port, std::uint8_t value, std::uint8_t mask) {
        u.ports[port] = static_cast<std::uint8_t>((u.ports[port] & ~mask) | (value & mask));
    }

    void ReadPort(Unit& u) {
        if (u.shape.inputs == 0) {
            std::uint8_t d = 0xEE;
            const bool refused =
                lib().ReadDIO(u.handle, 0, &d) == KELVO_STATUS_BAD_CHANNEL && d == 0;
            NothingSent(u, "ReadDIO");
            return Expect(u, "ReadDIO", refused, "a port of an output-only unit was read");
        }
        const auto port = Pick(static_cast<std::size_t>(u.shape.inputs));
        std::uint8_t d = 0xEE;
        const std::uint16_t status = lib().ReadDIO(u.handle, static_cast<std::uint32_t>(port), &d);
        Judge(u, "ReadDIO", status == KELVO_STATUS_OK, 1);
        const std::uint8_t want = status == KELVO_STATUS_OK ? u.ports[port] : 0;
        Expect(u, "ReadDIO", d == want,
               "port " + std::to_string(port) + " read " + std::to_string(d) + ", expected " +
                   std::to_string(want) + " (status " + std::to_string(status) + ")");
    }

    void WritePort(Unit& u) {
        const auto port = Pick(static_cast<std::size_t>(u.shape.total));
        const std::uint8_t value = Byte(), mask = Pick(2) ? 0xFF : Byte();
        const std::uint16_t status =
            lib().WriteDIO(u.handle, static_cast<std::uint32_t>(port), value, mask);
        const auto ex = Judge(u, "WriteDIO", status == KELVO_STATUS_OK, 1);
        if (!ex.empty() && ex[0].executed()) ApplyPort(u, port, value, mask);
    }

    void ReadPorts(Unit& u) {
        if (u.shape.inputs == 0) return ReadPort(u);
        const std::size_t count = 1 + Pick(6);
        std::uint8_t ports[6], data[6];
        for (std::size_t i = 0; i < count; ++i) {
            ports[i] = static_cast<std::uint8_t>(Pick(static_cast<std::size_t>(u.shape.inputs)));
        }
        std::memset(data, 0xEE, sizeof data);
        const std::uint16_t status =
            lib().MultiReadDIO(u.handle, static_cast<std::uint32_t>(count), ports, data);
        Judge(u, "MultiReadDIO", status == KELVO_STATUS_OK, 1);
        for (std::size_t i = 0; i < count; ++i) {
            const std::uint8_t want = status == KELVO_STATUS_OK ? u.ports[ports[i]] : 0;
            Expect(u, "MultiReadDIO", data[i] == want,
                   "entry " + std::to_string(i) + " read " + std::to_string(data[i]) +
                       ", expected " + std::to_string(want));
        }
    }

    void WritePorts(Unit& u) {
        const std::size_t count = 1 + Pick(6);
        std::uint8_t ports[6], values[6], masks[6];
        for (std::size_t i = 0; i < count; ++i) {
            ports[i] = static_cast<std::uint8_t>(Pick(static_cast<std::size_t>(u.shape.total)));
            values[i] = Byte();
            masks[i] = Pick(2) ? 0xFF : Byte();
        }
        const std::uint16_t status =
            lib().MultiWriteDIO(u.handle, static_cast<std::uint32_t>(count), ports, values, masks);
        const auto ex = Judge(u, "MultiWriteDIO", status == KELVO_STATUS_OK, 1);
        if (ex.empty() || !ex[0].executed()) return;
        // One image goes out: the last entry for a port is the one applied.
        for (std::size_t i = 0; i < count; ++i) {
            const bool later = std::find(ports + i + 1, ports + count, ports[i]) != ports + count;
            if (!later) ApplyPort(u, ports[i], values[i], masks[i]);
        }
    }

    void Directions(Unit& u) {
        const auto count = 1 + Pick(static_cast<std::size_t>(u.shape.total));
        std::uint8_t directions[8];
        for (auto& d : directions) d = Byte();
        const std::uint16_t status =
            lib().SetChDirDIO(u.handle, static_cast<std::uint32_t>(count), directions);
        Judge(u, "SetChDirDIO", status == KELVO_STATUS_OK, 1);
    }

    // ---- analog and counters ----

    void ReadChannel(Unit& u) {
        const auto channel =
            static_cast<std::uint32_t>(Pick(static_cast<std::size_t>(u.shape.inputs)));
        std::int32_t v = 0x5A5A5A5A;
        const std::uint16_t status = lib().ReadAIO(u.handle, channel, &v);
        Judge(u, "ReadAIO", status == KELVO_STATUS_OK, 1);
        if (status != KELVO_STATUS_OK) Expect(u, "ReadAIO", v == 0, "a value from a failed read");
    }

    void ReadOutputChannel(Unit& u) {
        std::int32_t v = 0x5A5A5A5A;
        const bool refused = lib().ReadAIO(u.handle, 0, &v) == KELVO_STATUS_BAD_CHANNEL && v == 0;
        NothingSent(u, "ReadAIO");
        Expect(u, "ReadAIO", refused, "an output-only channel was read");
    }

    void ReadChannels(Unit& u) {
        const std::size_t count = 1 + Pick(8);
        std::uint8_t channels[8];
        std::int32_t values[8];
        for (std::size_t i = 0; i < count; ++i) channels[i] = static_cast<std::uint8_t>(Pick(16));
        std::fill(std::begin(values), std::end(values), 0x5A5A5A5A);
        const std::uint16_t status =
            lib().MultiReadAIO(u.handle, static_cast<std::uint32_t>(count), channels, values);
        Judge(u, "MultiReadAIO", status == KELVO_STATUS_OK, 1);
        if (status == KELVO_STATUS_OK) return;
        const bool zero =
            std::all_of(values, values + count, [](std::int32_t v) { return v == 0; });
        Expect(u, "MultiReadAIO", zero, "values from a failed read");
    }

    void Gain(Unit& u) {
        const auto channel =
            static_cast<std::uint32_t>(Pick(static_cast<std::size_t>(u.shape.total)));
        Judge(u, "SetGainAIO", lib().SetGainAIO(u.handle, channel, Pick(4)) == KELVO_STATUS_OK, 1);
    }

    void WriteChannel(Unit& u) {
        const auto channel = Pick(static_cast<std::size_t>(u.shape.outputs));
        const auto value = static_cast<std::uint32_t>(Pick(4096));
        const std::uint16_t status = lib().WriteAIO(u.handle, static_cast<std::uint32_t>(channel),
                                                    static_cast<std::int32_t>(value));
        const auto ex = Judge(u, "WriteAIO", status == KELVO_STATUS_OK, 1);
        if (!ex.empty() && ex[0].executed()) u.held[channel] = value;
    }

    void WriteChannels(Unit& u) {
        // A set of distinct channels, each with its value in channel order.
        std::uint8_t channels[4];
        std::int32_t values[4];
        std::size_t count = 0;
        for (std::uint8_t c = 0; c < 4; ++c) {
            if (Pick(2)) channels[count++] = c;
        }
        if (count == 0) channels[count++] = 0;
        for (std::size_t i = 0; i < count; ++i) values[i] = static_cast<std::int32_t>(Pick(4096));
        const std::uint16_t status =
            lib().MultiWriteAIO(u.handle, static_cast<std::uint32_t>(count), channels, values);
        const auto ex = Judge(u, "MultiWriteAIO", status == KELVO_STATUS_OK, 1);
        if (ex.empty() || !ex[0].executed()) return;
        for (std::size_t i = 0; i < count; ++i)
            u.held[channels[i]] = static_cast<std::uint32_t>(values[i]);
    }

    void ReadCounter(Unit& u) {
        const auto channel =
            static_cast<std::uint32_t>(Pick(static_cast<std::size_t>(u.shape.inputs)));
        std::int32_t v = 0x5A5A5A5A;
        const std::uint16_t status = lib().ReadCOU(u.handle, channel, &v);
        Judge(u, "ReadCOU", status == KELVO_STATUS_OK, 1);
        if (status == KELVO_STATUS_OK) {
            // Sign-extended from the counter's 16 bits.
            Expect(u, "ReadCOU", v >= -32768 && v <= 32767,
                   "a 16-bit count read as " + std::to_string(v));
        } else {
            Expect(u, "ReadCOU", v == 0, "a value from a failed read");
        }
    }

    void WriteCounter(Unit& u) {
        const auto channel =
            static_cast<std::uint32_t>(Pick(static_cast<std::size_t>(u.shape.outputs)));
        const auto value = static_cast<std::int32_t>(Pick(0x10000));
        Judge(u, "WriteCOU", lib().WriteCOU(u.handle, channel, value) == KELVO_STATUS_OK, 1);
    }

    void CounterMode(Unit& u) {
        const auto channel =
            static_cast<std::uint32_t>(Pick(static_cast<std::size_t>(u.shape.total)));
        const std::uint16_t status = lib().SetModeCOU(u.handle, channel, Pick(4), Pick(4));
        Judge(u, "SetModeCOU", status == KELVO_STATUS_OK, 1);
    }

    // ---- sampling memory ----

    // The unit's side of one transfer chunk, as the simulated unit does it.
    void ChunkAt(Unit& u, std::uint8_t flags, std::size_t n, const std::uint8_t* write,
                 std::uint8_t* read) {
        if (flags & CHUNK_FIRST) u.position = 0;
        for (std::size_t i = 0; i < n; ++i) {
            const std::uint64_t at = u.position + i;
            if (write && at < MEMORY_SIZE) u.memory[at] = write[i];
            if (read) read[i] = at < MEMORY_SIZE ? u.memory[at] : 0;
        }
        u.position += n;
    }

    static std::size_t Chunks(std::size_t length) { return (length + CHUNK - 1) / CHUNK; }

    // f(index, offset, size) for each chunk of a transfer that the unit
    // carried out, in order, up to the first it did not.
    template <class F>
    static void ForChunksCarriedOut(const std::vector<Exchange>& ex, std::size_t length, F&& f) {
        for (std::size_t k = 0; k < ex.size() && k < Chunks(length); ++k) {
            if (!ex[k].executed()) break;
            f(k, k * CHUNK, std::min(CHUNK, length - k * CHUNK));
        }
    }

    static std::uint8_t ChunkFlags(std::size_t index, std::size_t chunks, std::uint8_t flag) {
        return index + 1 == chunks ? CHUNK_LAST : (index == 0 ? flag : 0);
    }

    void Seek(Unit& u, std::uint32_t position) {
        const auto ex =
            Judge(u, "MemSeek", lib().MemSeekDIO(u.handle, position) == KELVO_STATUS_OK, 1);
        if (!ex.empty() && ex[0].executed()) u.position = position;
    }

    void Write(Unit& u, const char* op, std::size_t length, std::uint8_t flag) {
        std::vector<std::uint8_t> data(length);
        for (auto& b : data) b = Byte();
        const auto fn = flag ? lib().MemWriteDIO : lib().MemSeekWriteDIO;
        const bool ok =
            fn(u.handle, static_cast<std::uint32_t>(length), data.data()) == KELVO_STATUS_OK;
        const auto ex = Judge(u, op, ok, Chunks(length));
        ForChunksCarriedOut(ex, length, [&](std::size_t k, std::size_t at, std::size_t n) {
            ChunkAt(u, ChunkFlags(k, Chunks(length), flag), n, data.data() + at, nullptr);
        });
    }

    void Read(Unit& u, const char* op, std::size_t length, std::uint8_t flag) {
        constexpr std::uint8_t UNTOUCHED = 0xA5;
        std::vector<std::uint8_t> data(length, UNTOUCHED), want(length, UNTOUCHED);
        const auto fn = flag ? lib().MemReadDIO : lib().MemSeekReadDIO;
        const bool ok =
            fn(u.handle, static_cast<std::uint32_t>(length), data.data()) == KELVO_STATUS_OK;
        const auto ex = Judge(u, op, ok, Chunks(length));
        ForChunksCarriedOut(ex, length, [&](std::size_t k, std::size_t at, std::size_t n) {
            std::uint8_t* into = want.data() + at;
            ChunkAt(u, ChunkFlags(k, Chunks(length), flag), n, nullptr, into);
            // A chunk whose reply failed is not copied out.
            const bool copied = ok || k + 1 < ex.size();
            if (!copied) std::fill(into, into + n, UNTOUCHED);
        });
        const auto diff = std::mismatch(data.begin(), data.end(), want.begin());
        if (diff.first != data.end()) {
            const auto at = diff.first - data.begin();
            Expect(u, op, false,
                   "byte " + std::to_string(at) + " of " + std::to_string(length) + " is " +
                       std::to_string(*diff.first) + ", expected " + std::to_string(*diff.second) +
                       (ok ? "" : " (failed call)"));
        } else {
            ++valuesChecked_;
        }
    }

    std::uint32_t RandomPosition() { return static_cast<std::uint32_t>(Pick(MEMORY_SIZE - 4096)); }
    std::size_t RandomLength() { return 1 + Pick(Pick(4) == 0 ? 1200 : CHUNK); }

    void SeekWrite(Unit& u) {
        Seek(u, RandomPosition());
        Write(u, "MemSeekWrite", RandomLength(), 0);
    }

    void SeekRead(Unit& u) {
        Seek(u, RandomPosition());
        Read(u, "MemSeekRead", RandomLength(), 0);
    }

    // From the start of memory when longer than a chunk.
    void MemWrite(Unit& u) { Write(u, "MemWrite", RandomLength(), CHUNK_FIRST); }
    void MemRead(Unit& u) { Read(u, "MemRead", RandomLength(), CHUNK_FIRST); }

    void SampleStatus(Unit& u) {
        std::uint32_t count = 0xEEEEEEEE;
        const std::uint8_t status = lib().MemSampleStatusDIO(u.handle, &count);
        // The call reports no failure of its own: judge it by its exchange.
        std::vector<Exchange> ex = log_.take();
        ++operations_;
        exchanges_ += static_cast<long>(ex.size());
        const bool failed = ex.empty() || ex[0].faulty();
        if (!ex.empty() && ex[0].outcome != "none") ++faults_[ex[0].outcome];
        if (ex.empty() && !u.lastFailed) Problem(&u, "MemSampleStatus", "no exchange");
        if (failed) {
            Expect(u, "MemSampleStatus", status == 0 && count == 0, "a status from a failed call");
            ++failedCalls_;
        } else if (ex[0].sound()) {
            Expect(u, "MemSampleStatus", count % 4096 == 0, "a count that is no whole block");
        }
        if (!ex.empty() && !ex[0].borderline()) u.lastFailed = failed;
    }

    // Settings are kept by the library: always there, nothing sent.
    void Settings(Unit& u) {
        const std::uint8_t timing = Pick(2) ? 0x04 : 0x00, cycle = Byte();
        std::uint8_t t = 0xEE, c = 0xEE;
        const bool ok = lib().SetMemSamplingCycleDIO(u.handle, timing, cycle) == KELVO_STATUS_OK &&
                        lib().GetMemSamplingCycleDIO(u.handle, &t, &c) == KELVO_STATUS_OK;
        NothingSent(u, "MemSamplingCycle");
        Expect(u, "MemSamplingCycle", ok && t == timing && c == cycle, "setting not kept");
    }

    std::vector<Unit> units_;
    std::mt19937 rng_;
    ExchangeLog log_;
    long operations_ = 0, exchanges_ = 0, failedCalls_ = 0, valuesChecked_ = 0, problems_ = 0;
    std::map<std::string, long> faults_;
};

int Usage() {
    std::fprintf(
        stderr,
        "usage: kelvo_soak faults [--ops N] [--seconds S] [--seed X] UNIT...\n"
        "       kelvo_soak load [--rounds R] [--ops N] [--seconds S] [--seed X] UNIT...\n");
    return 2;
}

int Main(int argc, char** argv) {
    if (argc < 2) return Usage();
    const std::string mode = argv[1];
    if (mode != "faults" && mode != "load") return Usage();
    long ops = mode == "faults" ? 5000 : 100, seconds = 600, rounds = 3;
    std::uint32_t seed = 1;
    std::vector<Unit> units;
    for (int i = 2; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--ops" && hasValue) {
            ops = std::atol(argv[++i]);
        } else if (arg == "--seconds" && hasValue) {
            seconds = std::atol(argv[++i]);
        } else if (arg == "--rounds" && hasValue) {
            rounds = std::atol(argv[++i]);
        } else if (arg == "--seed" && hasValue) {
            seed = static_cast<std::uint32_t>(std::strtoul(argv[++i], nullptr, 10));
        } else if (arg.rfind("--", 0) == 0) {
            return Usage();
        } else {
            units.push_back(ParseUnit(arg));
        }
    }
    if (units.empty() || ops <= 0 || seconds <= 0 || rounds <= 0) return Usage();

    // Kelvo_Initial broadcasts, and reads the device list: none here.
    if (!kelvotest::onlyLoopback()) {
        std::fprintf(stderr, "kelvo_soak: refusing to broadcast: run it in scripts/netns-run\n");
        return 1;
    }
    kelvotest::removeDeviceList();

    std::printf("soak: %s, %zu units, seed %u\n", mode.c_str(), units.size(), seed);
    std::fflush(stdout);
    Soak soak(std::move(units), seed);
    if (soak.Ready() && soak.Start()) {
        if (mode == "faults") {
            soak.Faults(ops, seconds);
        } else {
            soak.Load(static_cast<int>(rounds), static_cast<int>(ops), seconds);
        }
    }
    return soak.Report();
}

}  // namespace
}  // namespace kelvosoak

int main(int argc, char** argv) {
    try {
        return kelvosoak::Main(argc, argv);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "kelvo_soak: %s\n", e.what());
        return 1;
    }
}
