#include "unit.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <optional>
#include <set>
#include <utility>

#include "common/units.h"
#include "values.h"

namespace kelvo_cli {

namespace {

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

std::string plural(std::size_t n, std::string_view word) {
    return fmt::format("{} {}{}", n, word, n == 1 ? "" : "s");
}

const char* const UNIT_FORMS =
    "expected MODEL:ID (KV-103:1, or 3:1 with the numeric model code) or an IPv4 address";

// Direct addressing: the address of each unit found, by model and unit ID.
std::map<std::pair<unsigned, unsigned>, std::string>& addressBook() {
    static std::map<std::pair<unsigned, unsigned>, std::string> book;
    return book;
}

}  // namespace

Session& session() {
    static Session s;
    return s;
}

std::optional<unsigned> parseModel(std::string_view text) {
    for (unsigned code = 1; code <= KELVO_MODEL_COUNT; ++code) {
        if (equalsIgnoringCase(text, kelvo_model(code)->name)) return code;
    }
    try {
        return static_cast<unsigned>(parseNumber(text, 0, 0xFF, "model code"));
    } catch (const CliError&) {
        return std::nullopt;
    }
}

bool isIPv4(std::string_view text) {
    int parts = 0;
    while (parts < 4) {
        const std::size_t dot = text.find('.');
        const std::string_view part = text.substr(0, dot);
        if (part.empty() || part.size() > 3 ||
            !std::all_of(part.begin(), part.end(), [](char c) { return c >= '0' && c <= '9'; }) ||
            std::stoi(std::string(part)) > 255) {
            return false;
        }
        ++parts;
        if (dot == std::string_view::npos) break;
        text.remove_prefix(dot + 1);
    }
    return parts == 4 && text.find('.') == std::string_view::npos;
}

UnitRef parseUnitRef(std::string_view text) {
    UnitRef ref;
    ref.text = std::string(text);
    const auto colon = text.rfind(':');
    if (colon == std::string_view::npos) {
        if (!isIPv4(text)) {
            throw CliError(EXIT_USAGE, fmt::format("bad unit '{}': {}", text, UNIT_FORMS));
        }
        ref.ip = ref.text;
        return ref;
    }
    const std::string_view modelText = text.substr(0, colon);
    const std::string_view idText = text.substr(colon + 1);
    const auto model = parseModel(modelText);
    if (!model) {
        throw CliError(EXIT_USAGE,
                       fmt::format("bad unit '{}': unknown model '{}' (model names run from "
                                   "KV-101 to KV-120; a numeric code 0..255 is also accepted)",
                                   text, modelText));
    }
    ref.model = *model;
    ref.id = parseByte(idText, "unit ID");
    return ref;
}

std::string unitName(unsigned model, unsigned id) {
    if (const KelvoModel* m = findModel(model)) return fmt::format("{}:{}", m->name, id);
    return fmt::format("model {}:{}", model, id);
}

namespace {

// The addresses of --address and of the lines of --device-list (the fourth
// field of each unit line; a first line holding only a mode is skipped).
std::vector<std::string> directAddresses() {
    const Session& s = session();
    std::vector<std::string> addresses = s.addresses;
    for (const std::string& a : addresses) {
        if (!isIPv4(a)) {
            throw CliError(EXIT_USAGE,
                           fmt::format("bad address '{}': expected an IPv4 address such as "
                                       "192.168.0.20",
                                       a));
        }
    }
    if (!s.deviceList.empty()) {
        std::ifstream file(s.deviceList);
        if (!file) throw CliError(EXIT_LOCAL, fmt::format("cannot open {}", s.deviceList));
        std::string line;
        for (int number = 1; std::getline(file, line); ++number) {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            const bool modeLine = number == 1 && line.find(',') == std::string::npos;
            if (line.empty() || modeLine) continue;
            std::vector<std::string> fields;
            std::size_t start = 0;
            for (std::size_t comma; (comma = line.find(',', start)) != std::string::npos;
                 start = comma + 1) {
                fields.push_back(line.substr(start, comma - start));
            }
            fields.push_back(line.substr(start));
            if (fields.size() < 4 || !isIPv4(fields[3])) {
                throw CliError(EXIT_USAGE,
                               fmt::format("{}:{}: expected name,model,unit ID,IPv4 address,...",
                                           s.deviceList, number));
            }
            addresses.push_back(fields[3]);
        }
    }
    std::vector<std::string> unique;
    for (const std::string& a : addresses) {
        if (std::find(unique.begin(), unique.end(), a) == unique.end()) unique.push_back(a);
    }
    return unique;
}

// The addresses given that no unit answered at, in the order given.
std::vector<std::string>& silentAddresses() {
    static std::vector<std::string> silent;
    return silent;
}

// Finds the units at the given addresses without a broadcast: each address
// is asked who is there (all at once, bounded by the connect and reply
// limits), and the units that answered go to the library in a private
// device list with one Kelvo_Initial.
int directDiscover() {
    const std::vector<std::string> addresses = directAddresses();
    static std::optional<kelvo::tools::DeviceList> list;
    try {
        if (!list) list.emplace();
        const auto answers = kelvo::tools::OpenAt(*list, addresses);
        addressBook().clear();
        silentAddresses().clear();
        int found = 0;
        for (std::size_t i = 0; i < addresses.size(); ++i) {
            if (!answers[i]) {
                silentAddresses().push_back(addresses[i]);
                continue;
            }
            addressBook().emplace(std::pair{answers[i]->model, answers[i]->unitId}, addresses[i]);
            ++found;
        }
        return found;
    } catch (const std::runtime_error& e) {
        throw CliError(EXIT_LOCAL, e.what());
    }
}

}  // namespace

int discover() {
    if (session().direct()) return directDiscover();
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

std::string silentText() {
    const auto& silent = silentAddresses();
    if (silent.empty()) return {};
    return fmt::format("no unit answered at {}", fmt::join(silent, ", "));
}

std::optional<std::string> knownAddress(unsigned model, unsigned id) {
    const auto it = addressBook().find({model, id});
    if (it == addressBook().end()) return std::nullopt;
    return it->second;
}

std::string summaryName(const KelvoDeviceSummary& summary) {
    return std::string(summary.name, strnlen(summary.name, sizeof summary.name));
}

nlohmann::ordered_json summaryJson(const KelvoDeviceSummary& s) {
    const std::string name = summaryName(s);
    nlohmann::ordered_json j = {
        {"key", fmt::format("{}:{}", name.empty() ? std::to_string(s.modelCode) : name, s.unitId)},
        {"model_name", name},
        {"model_code", s.modelCode},
        {"unit_id", s.unitId},
        {"aux_byte", s.auxByte},
        {"total", s.total},
        {"bits", s.bits},
    };
    if (const KelvoModel* m = findModel(s.modelCode)) j["kind"] = kelvo_kind_name(m->kind);
    if (const auto address = knownAddress(s.modelCode, s.unitId)) j["address"] = *address;
    return j;
}

void checkKind(const KelvoModel& m, const std::string& label, Family family,
               std::string_view action) {
    bool fits = true;
    const char* wanted = "";
    switch (family) {
        case Family::ANY:
            break;
        case Family::DIGITAL:
            fits = kelvo_kind_is_digital(m.kind) != 0;
            wanted = "a digital unit";
            break;
        case Family::ANALOG:
            fits = kelvo_kind_is_analog(m.kind) != 0;
            wanted = "an analog unit";
            break;
        case Family::COUNTER:
            fits = m.kind == KELVO_KIND_COUNTER;
            wanted = "a counter unit";
            break;
    }
    if (!fits) {
        const std::string kind = kelvo_kind_name(m.kind);
        const char* article = kind.front() == 'a' ? "an" : "a";
        throw CliError(EXIT_REFUSED, fmt::format("{} on {}: {} is {} {} unit, not {}", action,
                                                 label, m.name, article, kind, wanted));
    }
}

Unit Unit::open(const UnitRef& ref, Family family, std::string_view action) {
    if (!ref.byAddress()) {
        if (const KelvoModel* m = findModel(ref.model)) {
            checkKind(*m, unitName(ref.model, ref.id), family, action);
        }
    }
    if (ref.byAddress()) {
        // A unit named by its address is looked for there, without a broadcast.
        auto& given = session().addresses;
        if (std::find(given.begin(), given.end(), ref.ip) == given.end()) given.push_back(ref.ip);
    }
    const int found = discover();
    if (ref.byAddress()) {
        const auto& silent = silentAddresses();
        if (std::find(silent.begin(), silent.end(), ref.ip) != silent.end()) {
            throw CliError(EXIT_NOT_FOUND, fmt::format("no unit answered at {}", ref.ip));
        }
        KELVO_HANDLE handle = Kelvo_OpenByIP(ref.ip.c_str());
        if (handle == nullptr) {
            if (found <= 0) {
                throw CliError(EXIT_NOT_FOUND,
                               fmt::format("could not connect to {}: no units were found", ref.ip));
            }
            throw CliError(EXIT_NOT_FOUND,
                           fmt::format("could not connect to {}: none of the {} found has that "
                                       "address, or the unit refused the connection",
                                       ref.ip, plural(static_cast<unsigned>(found), "unit")));
        }
        Unit unit(handle, ref.ip, std::nullopt, false);
        if (family != Family::ANY) {
            if (const KelvoModel* m = unit.model()) checkKind(*m, unit.label(), family, action);
        }
        return unit;
    }

    const std::string name = unitName(ref.model, ref.id);
    const auto units = browse();
    const auto match = std::find_if(units.begin(), units.end(), [&](const KelvoDeviceSummary& s) {
        return s.modelCode == ref.model && s.unitId == ref.id;
    });
    if (match == units.end()) {
        const std::string silent = silentText();
        throw CliError(EXIT_NOT_FOUND,
                       fmt::format("unit {} not found ({}{}{})", name,
                                   units.empty() ? std::string("no units were found")
                                                 : fmt::format("{} found; see 'kelvo list'",
                                                               plural(units.size(), "unit")),
                                   silent.empty() ? "" : "; ", silent));
    }
    KELVO_HANDLE handle = Kelvo_Open(ref.model, ref.id);
    if (handle == nullptr) {
        throw CliError(
            EXIT_NOT_FOUND,
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

// A unit opened by address: with direct addressing the tool knows each
// unit's address. Otherwise the browse list carries no addresses, so find the
// entry by opening each listed model and ID in turn. Opening the entry that is
// already connected hands back the same handle without any exchange; any other
// entry that this connects is closed again at once.
void Unit::identify() {
    identified_ = true;
    const auto units = browse();
    for (const KelvoDeviceSummary& s : units) {
        if (knownAddress(s.modelCode, s.unitId) == label_) {
            summary_ = s;
            return;
        }
    }
    std::set<std::pair<unsigned, unsigned>> tried;
    for (const KelvoDeviceSummary& s : units) {
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

const KelvoModel* Unit::model() {
    const auto& s = summary();
    return s ? findModel(s->modelCode) : nullptr;
}

void Unit::check(Status status, std::string_view action,
                 const std::function<std::string()>& badChannel) const {
    if (status == KELVO_STATUS_OK) return;
    if (status == KELVO_STATUS_BAD_CHANNEL && badChannel) {
        const std::string message = badChannel();
        if (!message.empty()) refuse(action, message);
    }
    throw CliError(statusExit(status),
                   fmt::format("{} on {}: {}", action, label_, statusText(status)));
}

void Unit::refuse(std::string_view action, const std::string& message) const {
    throw CliError(EXIT_REFUSED, fmt::format("{} on {}: {}", action, label_, message));
}

namespace {

unsigned limitCount(const KelvoModel& m, Limit limit) {
    switch (limit) {
        case Limit::INPUTS:
            return m.inputs;
        case Limit::OUTPUTS:
            return m.outputs;
        case Limit::TOTAL:
            break;
    }
    return m.total;
}

}  // namespace

std::string Unit::rangeMessage(std::string_view noun, unsigned number, Limit limit) {
    const KelvoModel* m = model();
    if (m == nullptr) {
        return fmt::format("{} {} refused by {} (its model is unknown)", noun, number, label_);
    }
    const char* direction = limit == Limit::INPUTS    ? "input "
                            : limit == Limit::OUTPUTS ? "output "
                                                      : "";
    return fmt::format("{} {} out of range for {} ({})", noun, number, m->name,
                       plural(limitCount(*m, limit), fmt::format("{}{}", direction, noun)));
}

void Unit::checkRange(std::span<const std::uint8_t> numbers, Limit limit, std::string_view noun,
                      std::string_view action) {
    const KelvoModel* m = model();
    if (m == nullptr) return;
    const unsigned n = limitCount(*m, limit);
    for (std::uint8_t number : numbers) {
        if (number >= n) refuse(action, rangeMessage(noun, number, limit));
    }
}

unsigned Unit::count(Limit limit, std::string_view what) {
    const KelvoModel* m = model();
    if (m == nullptr) {
        throw CliError(EXIT_REFUSED,
                       fmt::format("cannot {} on {}: its model is unknown", what, label_));
    }
    return limitCount(*m, limit);
}

void Unit::checkValue(std::int64_t value, bool signedValues, std::string_view action) {
    const KelvoModel* m = model();
    if (m == nullptr || m->bits >= 32) return;
    const std::int64_t high = (std::int64_t{1} << m->bits) - 1;
    const std::int64_t low = signedValues ? -(std::int64_t{1} << (m->bits - 1)) : 0;
    if (value < low || value > high) {
        refuse(action, fmt::format("value {} does not fit the {}-bit {} of {} ({}..{})", value,
                                   m->bits, kelvo_kind_is_digital(m->kind) ? "ports" : "channels",
                                   m->name, low, high));
    }
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
            return EXIT_OK;
        case KELVO_STATUS_NOT_OPEN:
            return EXIT_NOT_FOUND;
        case KELVO_STATUS_COMM_ERROR:
            return EXIT_COMM;
        case KELVO_STATUS_BAD_SETTING:
        case KELVO_STATUS_BAD_CHANNEL:
            return EXIT_REFUSED;
        default:
            return EXIT_LOCAL;
    }
}

}  // namespace kelvo_cli
