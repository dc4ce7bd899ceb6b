#include "common/units.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <fstream>
#include <random>
#include <stdexcept>
#include <system_error>

#include "common/net.h"
#include "protocol/frame.h"

namespace kelvo::tools {
namespace {

using Clock = std::chrono::steady_clock;

// The longest single wait, so that a stop request is seen within it.
constexpr int SLICE_MS = 50;
// The identification request is the bare header with command CMD_INFO and
// sequence 0; a valid reply echoes the command with the reply bit, status 0
// and sequence 0, and carries model code, aux byte and unit ID at 16..18.
constexpr std::size_t IDENTITY_END = ident::UNIT_ID + 1;
constexpr std::uint8_t UNIDENTIFIED = 0xFF;

struct Probe {
    std::size_t index = 0;
    net::Socket socket = net::NO_SOCKET;
    bool connecting = true;
    Clock::time_point deadline;
    std::array<std::uint8_t, FRAME_SIZE> reply{};
    std::size_t received = 0;
};

int MsUntil(Clock::time_point t) {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(t - Clock::now()).count();
    return ms < 0 ? 0 : static_cast<int>(ms);
}

// Sends the request on a connected probe; false when that fails.
bool Ask(Probe& p) {
    std::array<std::uint8_t, frame::HEADER_SIZE> request{};
    request[frame::COMMAND] = CMD_INFO;
    if (net::Send(p.socket, request.data(), request.size()) != static_cast<int>(request.size())) {
        return false;
    }
    p.connecting = false;
    p.deadline = Clock::now() + std::chrono::milliseconds(REPLY_TIMEOUT_MS);
    return true;
}

// Reads what arrived. Returns true when the probe is done (answer or not).
bool Read(Probe& p, std::optional<Identity>& answer) {
    const int n = net::Receive(p.socket, p.reply.data() + p.received, p.reply.size() - p.received);
    if (n == -2) return false;
    if (n <= 0) return true;  // closed or failed before the whole identity came
    p.received += static_cast<std::size_t>(n);
    if (p.received < IDENTITY_END) return false;
    const auto& r = p.reply;
    if (r[frame::COMMAND] != (CMD_INFO | frame::REPLY_BIT) || r[frame::STATUS] != 0 ||
        r[frame::SEQUENCE] != 0) {
        return true;
    }
    const Identity id{r[ident::MODEL], r[ident::AUX], r[ident::UNIT_ID]};
    if (id.model != UNIDENTIFIED || id.aux != UNIDENTIFIED || id.unitId != UNIDENTIFIED)
        answer = id;
    return true;
}

}  // namespace

std::vector<std::optional<Identity>> IdentifyAll(const std::vector<std::string>& addresses,
                                                 const IdentifyLimits& limits) {
    std::vector<std::optional<Identity>> answers(addresses.size());
    const auto end = Clock::now() + std::chrono::milliseconds(limits.totalMs);
    const std::size_t atOnce = limits.atOnce > 0 ? limits.atOnce : 1;
    const auto stopped = [&] { return limits.stop && limits.stop->load(); };
    std::vector<Probe> probes;
    std::vector<net::Wait> waits;
    std::size_t next = 0;
    for (;;) {
        // Start as many as may run at once.
        while (probes.size() < atOnce && next < addresses.size() && Clock::now() < end &&
               !stopped()) {
            const std::size_t index = next++;
            const auto address = net::ParseIPv4(addresses[index]);
            if (!address) continue;
            Probe p;
            p.index = index;
            p.socket = net::OpenStream();
            if (p.socket == net::NO_SOCKET) continue;
            p.deadline = Clock::now() + std::chrono::milliseconds(CONNECT_TIMEOUT_MS);
            const auto start = net::StartConnect(p.socket, *address, COMMAND_PORT);
            if (start == net::ConnectStart::FAILED ||
                (start == net::ConnectStart::DONE && !Ask(p))) {
                net::Close(p.socket);
                continue;
            }
            probes.push_back(p);
        }
        if (probes.empty()) {
            if (next >= addresses.size() || Clock::now() >= end || stopped()) break;
            continue;
        }
        if (Clock::now() >= end || stopped()) break;

        auto soonest = end;
        waits.assign(probes.size(), {});
        for (std::size_t i = 0; i < probes.size(); ++i) {
            waits[i].socket = probes[i].socket;
            waits[i].forWrite = probes[i].connecting;
            if (probes[i].deadline < soonest) soonest = probes[i].deadline;
        }
        if (!net::WaitAny(waits, std::min(MsUntil(soonest), SLICE_MS))) break;

        const auto now = Clock::now();
        std::size_t kept = 0;
        for (std::size_t i = 0; i < probes.size(); ++i) {
            Probe& p = probes[i];
            bool done = false;
            if (waits[i].ready) {
                if (p.connecting) {
                    done = !net::Connected(p.socket) || !Ask(p);
                } else {
                    done = Read(p, answers[p.index]);
                }
            }
            if (!done && now >= p.deadline) done = true;
            if (done) {
                net::Close(p.socket);
            } else {
                probes[kept++] = p;
            }
        }
        probes.resize(kept);
    }
    for (const Probe& p : probes) net::Close(p.socket);
    return answers;
}

DeviceList::DeviceList() {
    std::error_code error;
    const auto base = std::filesystem::temp_directory_path(error);
    if (error) throw std::runtime_error("cannot find the temporary directory");
    std::random_device random;
    for (int attempt = 0; attempt < 100; ++attempt) {
        const auto candidate = base / ("kelvo-" + std::to_string(random()));
        // Made by us and only for us: an existing directory is never used.
        if (std::filesystem::create_directory(candidate, error)) {
            std::filesystem::permissions(candidate, std::filesystem::perms::owner_all,
                                         std::filesystem::perm_options::replace, error);
            directory_ = candidate;
            break;
        }
    }
    if (directory_.empty()) {
        throw std::runtime_error("cannot make a private directory for the device list");
    }
    if (!net::SetEnvironment("KELVO_DEVICE_LIST_DIR", directory_.string())) {
        std::filesystem::remove(directory_, error);
        throw std::runtime_error("cannot set KELVO_DEVICE_LIST_DIR for the device list");
    }
}

DeviceList::~DeviceList() {
    std::error_code error;
    std::filesystem::remove_all(directory_, error);
}

int DeviceList::load(const std::vector<ListedUnit>& units) {
    {
        // Lines end in CR LF: name, model code, unit ID, address, MAC, aux byte.
        std::ofstream file(directory_ / "Kelvo.ini", std::ios::binary | std::ios::trunc);
        file << "1\r\n";
        for (std::size_t i = 0; i < units.size(); ++i) {
            const ListedUnit& u = units[i];
            file << "unit" << i << ',' << unsigned{u.identity.model} << ','
                 << unsigned{u.identity.unitId} << ',' << u.address << ','
                 << (u.mac.empty() ? "00-00-00-00-00-00" : u.mac) << ',' << unsigned{u.identity.aux}
                 << "\r\n";
        }
        if (!file.flush()) return -1;
    }
    return Kelvo_Initial();
}

std::vector<std::optional<Identity>> OpenAt(DeviceList& list,
                                            const std::vector<std::string>& addresses,
                                            const IdentifyLimits& limits) {
    auto answers = IdentifyAll(addresses, limits);
    std::vector<ListedUnit> units;
    for (std::size_t i = 0; i < addresses.size(); ++i) {
        if (answers[i]) units.push_back({addresses[i], *answers[i], ""});
    }
    if (list.load(units) < 0) throw std::runtime_error("cannot write the device list");
    return answers;
}

}  // namespace kelvo::tools
