// list, info and raw: what is on the network, what one unit is, and a raw
// frame exchange with it.
#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "commands.h"
#include "unit.h"
#include "values.h"

namespace kelvo_cli {

namespace {

std::string modelColumn(const KelvoDeviceSummary& s) {
    const std::string name = summaryName(s);
    return name.empty() ? fmt::format("code {}", s.modelCode) : name;
}

void runList() {
    const int found = discover();
    const auto units = browse();
    auto& result = session().result;
    result = nlohmann::ordered_json::array();
    for (std::size_t i = 0; i < units.size(); ++i) {
        nlohmann::ordered_json entry = {{"index", i}};
        entry.update(summaryJson(units[i]));
        result.push_back(entry);
    }
    // An address given that no unit answered at is a unit not found.
    const std::string silent = silentText();
    if (session().json) {
        if (!silent.empty()) throw CliError(EXIT_NOT_FOUND, silent);
        return;
    }
    if (units.empty()) {
        if (!silent.empty()) throw CliError(EXIT_NOT_FOUND, silent);
        fmt::print(stderr, "kelvo: no units found\n");
        return;
    }
    const bool addresses = session().direct();
    fmt::print("{:<5}  {:<8}  {:>7}  {:>4}  {:>14}  {:>4}{}\n", "INDEX", "MODEL", "UNIT ID", "AUX",
               "PORTS/CHANNELS", "BITS", addresses ? "  ADDRESS" : "");
    for (std::size_t i = 0; i < units.size(); ++i) {
        const KelvoDeviceSummary& s = units[i];
        fmt::print("{:<5}  {:<8}  {:>7}  0x{:02X}  {:>14}  {:>4}{}\n", i, modelColumn(s), s.unitId,
                   s.auxByte, s.total, s.bits,
                   addresses ? "  " + knownAddress(s.modelCode, s.unitId).value_or("") : "");
    }
    if (static_cast<std::size_t>(found) != units.size()) {
        fmt::print(stderr, "kelvo: discovery reported {} units, the list holds {}\n", found,
                   units.size());
    }
    if (!silent.empty()) throw CliError(EXIT_NOT_FOUND, silent);
}

// The date texts are NUL-terminated within their 16 bytes.
std::string dateText(const char (&date)[16]) {
    return std::string(date, strnlen(date, 16));
}

void runInfo(const std::string& unitText) {
    Unit unit = Unit::open(parseUnitRef(unitText), Family::ANY, "info");
    const auto& summary = unit.summary();
    auto& result = session().result;
    result["unit"] = unit.label();
    say("unit          {}\n", unit.label());
    if (summary) {
        result.update(summaryJson(*summary));
        const KelvoModel* m = findModel(summary->modelCode);
        const std::string name = summaryName(*summary);
        say("model         {} (code {})\n", name.empty() ? "unknown" : name, summary->modelCode);
        say("unit ID       {}\n", summary->unitId);
        say("aux byte      0x{:02X}\n", summary->auxByte);
        if (m != nullptr) {
            const bool digital = kelvo_kind_is_digital(m->kind) != 0;
            say("kind          {}\n", kelvo_kind_name(m->kind));
            say("{:<14}{} ({} readable, {} writable), {} bits each\n",
                digital ? "ports" : "channels", summary->total, m->inputs, m->outputs,
                summary->bits);
            result["inputs"] = m->inputs;
            result["outputs"] = m->outputs;
        } else {
            say("ports         not known for this model\n");
        }
    } else {
        say("model         unknown (the unit could not be matched to the list)\n");
    }

    KelvoVersionInfo info{};
    Kelvo_GetVerInfo(unit.handle(), &info);
    result["library_version"] = {info.libraryMajor, info.libraryMinor};
    result["library_date"] = dateText(info.libraryDate);
    if (info.libraryMajor != 0 || info.libraryMinor != 0 || info.libraryDate[0] != '\0') {
        say("library       {}.{} ({})\n", info.libraryMajor, info.libraryMinor,
            dateText(info.libraryDate));
    } else {
        say("library       version not available\n");
    }
    // A part that was not obtained stays all zero.
    const bool deviceAnswered = info.deviceInfo != 0 || info.deviceMajor != 0 ||
                                info.deviceMinor != 0 || info.deviceDate[0] != '\0';
    if (!deviceAnswered) {
        throw CliError(EXIT_COMM, fmt::format("version request on {}: {}", unit.label(),
                                              statusText(KELVO_STATUS_COMM_ERROR)));
    }
    result["device_info"] = info.deviceInfo;
    result["device_version"] = {info.deviceMajor, info.deviceMinor};
    result["device_date"] = dateText(info.deviceDate);
    say("unit version  {}.{} ({}), info byte 0x{:02X}\n", info.deviceMajor, info.deviceMinor,
        dateText(info.deviceDate), info.deviceInfo);
}

// The library copies back as many reply data bytes as the unit announces but
// does not say how many that was, so the caller chooses how many to show.
constexpr std::size_t FRAME_SIZE = 256;
constexpr std::size_t REPLY_DATA_MAX = 240;
constexpr std::size_t HEADER_SIZE = 8;

void runRaw(const std::string& unitText, const std::vector<std::string>& hexArgs,
            std::size_t showBytes) {
    std::string joined;
    for (const std::string& part : hexArgs) joined += (joined.empty() ? "" : " ") + part;
    const std::vector<std::uint8_t> request = parseHexBytes(joined);
    if (request.size() < HEADER_SIZE || request.size() > FRAME_SIZE) {
        throw CliError(EXIT_REFUSED, fmt::format("a raw frame is {} to {} bytes, not {}",
                                                 HEADER_SIZE, FRAME_SIZE, request.size()));
    }
    const UnitRef ref = parseUnitRef(unitText);
    Unit unit = Unit::open(ref, Family::ANY, "raw exchange");
    std::array<std::uint8_t, FRAME_SIZE> buffer{};
    std::copy(request.begin(), request.end(), buffer.begin());
    if (Kelvo_Access(unit.handle(), static_cast<std::int32_t>(request.size()), buffer.data()) !=
        1) {
        throw CliError(EXIT_COMM, fmt::format("raw exchange on {}: unit did not answer or sent an "
                                              "invalid reply",
                                              unit.label()));
    }
    say("{}", hexDump(buffer.data(), showBytes));
    session().result = {{"unit", unit.label()}, {"reply", hexString(buffer.data(), showBytes)}};
}

}  // namespace

void addInfoCommands(CLI::App& app) {
    CLI::App* list = app.add_subcommand(
        "list", "Find the units (by broadcast, or at --address / --device-list) and list them");
    list->callback([] { runList(); });

    auto unit = std::make_shared<std::string>();
    CLI::App* info =
        app.add_subcommand("info", "Show a unit's model, counts and library and unit versions");
    addUnitArgument(info, *unit);
    info->callback([unit] { runInfo(*unit); });

    struct RawArgs {
        std::string unit;
        std::vector<std::string> hex;
        std::size_t show = 16;
    };
    auto raw = std::make_shared<RawArgs>();
    CLI::App* rawCmd = app.add_subcommand(
        "raw", "Send a raw command frame (8..256 bytes) and show the reply's data bytes");
    addUnitArgument(rawCmd, raw->unit);
    rawCmd
        ->add_option("HEX", raw->hex,
                     "Frame bytes in hex, e.g. '12 00 00 00 09 00 00 00' (byte 2 is replaced by "
                     "the unit's sequence number)")
        ->required();
    rawCmd
        ->add_option("-n,--reply-bytes", raw->show,
                     "How many reply data bytes to show: the library does not report how many the "
                     "unit sent; bytes beyond that still hold the request")
        ->type_name("N")
        ->check(CLI::Range(std::size_t{0}, REPLY_DATA_MAX))
        ->capture_default_str();
    rawCmd->callback([raw] { runRaw(raw->unit, raw->hex, raw->show); });
}

}  // namespace kelvo_cli
