#include "unit.h"

#include <arpa/inet.h>
#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <set>
#include <utility>

#include "values.h"

namespace kelvo_cli {

namespace {

using K = UnitKind;

// Codes 1..20, as the units identify themselves.
constexpr std::array<ModelShape, 20> kModels{{
    {1, "KV-101", 2, 2, 0, 8, K::kDigital},      {2, "KV-102", 2, 2, 0, 8, K::kDigital},
    {3, "KV-103", 2, 1, 1, 8, K::kDigital},      {4, "KV-104", 2, 1, 1, 8, K::kDigital},
    {5, "KV-105", 2, 0, 2, 8, K::kDigital},      {6, "KV-106", 2, 0, 2, 8, K::kDigital},
    {7, "KV-107", 2, 0, 2, 8, K::kDigital},      {8, "KV-108", 3, 3, 3, 8, K::kDigital},
    {9, "KV-109", 16, 16, 0, 16, K::kAnalogIn},  {10, "KV-110", 4, 0, 4, 12, K::kAnalogOut},
    {11, "KV-111", 2, 2, 2, 16, K::kCounter},    {12, "KV-112", 8, 8, 0, 8, K::kDigital},
    {13, "KV-113", 4, 4, 0, 8, K::kDigital},     {14, "KV-114", 8, 0, 8, 8, K::kDigital},
    {15, "KV-115", 4, 0, 4, 8, K::kDigital},     {16, "KV-116", 8, 4, 4, 8, K::kDigital},
    {17, "KV-117", 4, 2, 2, 8, K::kDigital},     {18, "KV-118", 2, 2, 2, 8, K::kDigital},
    {19, "KV-119", 16, 16, 0, 16, K::kAnalogIn}, {20, "KV-120", 4, 0, 4, 12, K::kAnalogOut},
}};

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

std::string plural(std::size_t n, std::string_view word) {
    return fmt::format("{} {}{}", n, word, n == 1 ? "" : "s");
}

const char* const kUnitForms =
    "expected MODEL:ID (KV-103:1, or 3:1 with the numeric model code) or an IPv4 address";

}  // namespace

const ModelShape* findModel(unsigned code) {
    if (code < 1 || code > kModels.size()) return nullptr;
    return &kModels[code - 1];
}

std::optional<unsigned> parseModel(std::string_view text) {
    for (const ModelShape& m : kModels) {
        if (equalsIgnoringCase(text, m.name)) return m.code;
    }
    try {
        return static_cast<unsigned>(parseNumber(text, 0, 0xFF, "model code"));
    } catch (const CliError&) {
        return std::nullopt;
    }
}

UnitRef parseUnitRef(std::string_view text) {
    UnitRef ref;
    ref.text = std::string(text);
    const auto colon = text.rfind(':');
    if (colon == std::string_view::npos) {
        in_addr address{};
        if (inet_pton(AF_INET, ref.text.c_str(), &address) != 1) {
            throw CliError(kExitUsage, fmt::format("bad unit '{}': {}", text, kUnitForms));
        }
        ref.ip = ref.text;
        return ref;
    }
    const std::string_view modelText = text.substr(0, colon);
    const std::string_view idText = text.substr(colon + 1);
    const auto model = parseModel(modelText);
    if (!model) {
        throw CliError(kExitUsage,
                       fmt::format("bad unit '{}': unknown model '{}' (model names run from "
                                   "KV-101 to KV-120; a numeric code 0..255 is also accepted)",
                                   text, modelText));
    }
    ref.model = *model;
    ref.id = parseByte(idText, "unit ID");
    return ref;
}

std::string unitName(unsigned model, unsigned id) {
    if (const ModelShape* m = findModel(model)) return fmt::format("{}:{}", m->name, id);
    return fmt::format("model {}:{}", model, id);
}

int discover() {
    fmt::print(stderr, "kelvo: searching for units...\n");
    std::fflush(stderr);
    return Kelvo_Initial();
}

std::vector<KelvoDeviceSummary> browse() {
    const int count = Kelvo_BrowseDevice(nullptr);
    if (count <= 0) return {};
    // Zeroed first: the library writes a name only up to its terminating zero.
    std::vector<KelvoDeviceSummary> list(static_cast<std::size_t>(count), KelvoDeviceSummary{});
    const int written = Kelvo_BrowseDevice(list.data());
    list.resize(static_cast<std::size_t>(std::clamp(written, 0, count)));
    return list;
}

std::string summaryName(const KelvoDeviceSummary& summary) {
    return std::string(summary.name, strnlen(summary.name, sizeof summary.name));
}

Unit Unit::open(const UnitRef& ref) {
    const int found = discover();
    if (ref.byAddress()) {
        KELVO_HANDLE handle = Kelvo_OpenByIP(ref.ip.c_str());
        if (handle == nullptr) {
            if (found <= 0) {
                throw CliError(kExitNotFound,
                               fmt::format("could not connect to {}: no units were found", ref.ip));
            }
            throw CliError(kExitNotFound,
                           fmt::format("could not connect to {}: none of the {} found has that "
                                       "address, or the unit refused the connection",
                                       ref.ip, plural(static_cast<unsigned>(found), "unit")));
        }
        return Unit(handle, ref.ip, std::nullopt, false);
    }

    const std::string name = unitName(ref.model, ref.id);
    const auto units = browse();
    const auto match = std::find_if(units.begin(), units.end(), [&](const KelvoDeviceSummary& s) {
        return s.modelCode == ref.model && s.unitId == ref.id;
    });
    if (match == units.end()) {
        throw CliError(kExitNotFound,
                       units.empty() ? fmt::format("unit {} not found (no units were found)", name)
                                     : fmt::format("unit {} not found ({} found; see 'kelvo list')",
                                                   name, plural(units.size(), "unit")));
    }
    KELVO_HANDLE handle = Kelvo_Open(ref.model, ref.id);
    if (handle == nullptr) {
        throw CliError(
            kExitNotFound,
            fmt::format("could not connect to unit {}: the connection was refused", name));
    }
    return Unit(handle, name, *match, true);
}

Unit::Unit(KELVO_HANDLE handle, std::string label, std::optional<KelvoDeviceSummary> summary,
           bool identified)
    : handle_(handle), label_(std::move(label)), summary_(summary), identified_(identified) {}

Unit::Unit(Unit&& other) noexcept
    : handle_(std::exchange(other.handle_, nullptr)),
      label_(std::move(other.label_)),
      summary_(other.summary_),
      identified_(other.identified_) {}

Unit::~Unit() {
    if (handle_ != nullptr) Kelvo_Close(handle_);
}

// A unit opened by address: the browse list carries no addresses, so find the
// entry by opening each listed model and ID in turn. Opening the entry that is
// already connected hands back the same handle without any exchange; any other
// entry that this connects is closed again at once.
void Unit::identify() {
    identified_ = true;
    std::set<std::pair<unsigned, unsigned>> tried;
    for (const KelvoDeviceSummary& s : browse()) {
        if (!tried.insert({s.modelCode, s.unitId}).second) continue;
        KELVO_HANDLE other = Kelvo_Open(s.modelCode, s.unitId);
        if (other == handle_) {
            summary_ = s;
            return;
        }
        if (other != nullptr) Kelvo_Close(other);
    }
}

const std::optional<KelvoDeviceSummary>& Unit::summary() {
    if (!identified_) identify();
    return summary_;
}

const ModelShape* Unit::shape() {
    const auto& s = summary();
    return s ? findModel(s->modelCode) : nullptr;
}

void Unit::check(Status status, std::string_view action,
                 const std::function<std::string()>& badChannel) const {
    if (status == KELVO_STATUS_OK) return;
    if (status == KELVO_STATUS_BAD_CHANNEL && badChannel) {
        const std::string message = badChannel();
        if (!message.empty()) {
            throw CliError(kExitBadChannel, fmt::format("{} on {}: {}", action, label_, message));
        }
    }
    throw CliError(statusExit(status),
                   fmt::format("{} on {}: {}", action, label_, statusText(status)));
}

namespace {

unsigned limitCount(const ModelShape& m, Limit limit) {
    switch (limit) {
        case Limit::kInputs:
            return m.inputs;
        case Limit::kOutputs:
            return m.outputs;
        case Limit::kTotal:
            break;
    }
    return m.total;
}

}  // namespace

std::string Unit::rangeMessage(std::string_view noun, unsigned number, Limit limit) {
    const ModelShape* m = shape();
    if (m == nullptr) {
        return fmt::format("{} {} refused by {} (its model is unknown)", noun, number, label_);
    }
    const char* direction = limit == Limit::kInputs    ? "input "
                            : limit == Limit::kOutputs ? "output "
                                                       : "";
    return fmt::format("{} {} out of range for {} ({})", noun, number, m->name,
                       plural(limitCount(*m, limit), fmt::format("{}{}", direction, noun)));
}

std::optional<unsigned> Unit::firstOutOfRange(std::span<const std::uint8_t> numbers, Limit limit) {
    const ModelShape* m = shape();
    if (m == nullptr) return std::nullopt;
    const unsigned n = limitCount(*m, limit);
    for (std::uint8_t number : numbers) {
        if (number >= n) return number;
    }
    return std::nullopt;
}

unsigned Unit::count(Limit limit, std::string_view what) {
    const ModelShape* m = shape();
    if (m == nullptr) {
        throw CliError(kExitBadChannel,
                       fmt::format("cannot {} on {}: its model is unknown", what, label_));
    }
    return limitCount(*m, limit);
}

std::string statusText(Status status) {
    switch (status) {
        case KELVO_STATUS_OK:
            return "ok";
        case KELVO_STATUS_NO_MEMORY:
            return "the library ran out of memory";
        case KELVO_STATUS_NOT_OPEN:
            return "unit is not open";
        case KELVO_STATUS_COMM_ERROR:
            return "unit did not answer";
        case KELVO_STATUS_BAD_SETTING:
            return "setting out of range";
        case KELVO_STATUS_BAD_CHANNEL:
            return "port or channel out of range";
        default:
            return fmt::format("unexpected status 0x{:04X}", status);
    }
}

ExitCode statusExit(Status status) {
    switch (status) {
        case KELVO_STATUS_OK:
            return kExitOk;
        case KELVO_STATUS_NOT_OPEN:
            return kExitNotFound;
        case KELVO_STATUS_COMM_ERROR:
            return kExitComm;
        case KELVO_STATUS_BAD_SETTING:
        case KELVO_STATUS_BAD_CHANNEL:
            return kExitBadChannel;
        default:
            return kExitLocal;
    }
}

}  // namespace kelvo_cli
