// mem config|start|stop|status|seek|read|write: the unit's sampling memory.
//
// The library keeps the sampling settings for each unit in its own memory and
// sends them along with the next start or stop. They last only as long as
// this process, so start and stop take the settings options; config only
// shows what the library would send and refuses settings.
#include <fmt/format.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "commands.h"
#include "protocol/frame.h"
#include "unit.h"
#include "values.h"

namespace kelvo_cli {

namespace {

constexpr std::uint8_t TIMING_FLAG = 0x04;
constexpr std::uint8_t OUTPUT_MODE_FLAG = 0x08;
constexpr std::uint32_t MAX_FREQUENCY = 0xFFFFFF;
constexpr unsigned SAMPLING_CHANNELS = 16;
// Largest memory count a unit can report (0xFFFF * 4096), also the transfer cap.
constexpr std::uint32_t MAX_TRANSFER = 0xFFFFu * 4096u;

// The DIO and AIO calls of each pair do the same thing; the tool uses the
// family that matches the unit, and the digital one when the model is unknown.
struct Calls {
    const char* suffix;
    std::uint16_t(KELVO_CALL* setCycle)(KELVO_HANDLE, std::uint32_t, std::uint32_t);
    std::uint16_t(KELVO_CALL* getCycle)(KELVO_HANDLE, std::uint8_t*, std::uint8_t*);
    std::uint16_t(KELVO_CALL* setTrigger)(KELVO_HANDLE, std::uint32_t, std::uint32_t,
                                          std::uint32_t);
    std::uint16_t(KELVO_CALL* getTrigger)(KELVO_HANDLE, std::uint8_t*, std::uint8_t*,
                                          std::uint16_t*);
    std::uint16_t(KELVO_CALL* start)(KELVO_HANDLE);
    std::uint16_t(KELVO_CALL* stop)(KELVO_HANDLE);
    std::uint8_t(KELVO_CALL* status)(KELVO_HANDLE, std::uint32_t*);
    std::uint16_t(KELVO_CALL* seek)(KELVO_HANDLE, std::uint32_t);
    std::uint16_t(KELVO_CALL* read)(KELVO_HANDLE, std::uint32_t, std::uint8_t*);
    std::uint16_t(KELVO_CALL* seekRead)(KELVO_HANDLE, std::uint32_t, std::uint8_t*);
    std::uint16_t(KELVO_CALL* write)(KELVO_HANDLE, std::uint32_t, const std::uint8_t*);
    std::uint16_t(KELVO_CALL* seekWrite)(KELVO_HANDLE, std::uint32_t, const std::uint8_t*);
};

const Calls DIGITAL_CALLS{"DIO",
                          Kelvo_SetMemSamplingCycleDIO,
                          Kelvo_GetMemSamplingCycleDIO,
                          Kelvo_SetMemTriggerDIO,
                          Kelvo_GetMemTriggerDIO,
                          Kelvo_MemStartDIO,
                          Kelvo_MemStopDIO,
                          Kelvo_MemSampleStatusDIO,
                          Kelvo_MemSeekDIO,
                          Kelvo_MemReadDIO,
                          Kelvo_MemSeekReadDIO,
                          Kelvo_MemWriteDIO,
                          Kelvo_MemSeekWriteDIO};

const Calls ANALOG_CALLS{"AIO",
                         Kelvo_SetMemSamplingCycleAI,
                         Kelvo_GetMemSamplingCycleAI,
                         Kelvo_SetMemTriggerAIO,
                         Kelvo_GetMemTriggerAIO,
                         Kelvo_MemStartAIO,
                         Kelvo_MemStopAIO,
                         Kelvo_MemSampleStatusAIO,
                         Kelvo_MemSeekAIO,
                         Kelvo_MemReadAIO,
                         Kelvo_MemSeekReadAIO,
                         Kelvo_MemWriteAIO,
                         Kelvo_MemSeekWriteAIO};

const Calls& callsFor(Unit& unit) {
    const KelvoModel* m = unit.model();
    return m != nullptr && !kelvo_kind_is_digital(m->kind) ? ANALOG_CALLS : DIGITAL_CALLS;
}

// The settings options shared by config, start and stop. Option pointers tell
// whether an option was given.
struct Settings {
    std::string cycle, frequency, outputMode;
    bool timing = false;
    std::vector<std::string> trigger, triggerData, analogTrigger, channels;
    CLI::Option *cycleOpt = nullptr, *frequencyOpt = nullptr, *outputModeOpt = nullptr;

    void addOptions(CLI::App* command) {
        CLI::Option_group* g = command->add_option_group(
            "Sampling settings", "Sent to the unit with the next start or stop of this run");
        cycleOpt = g->add_option("--cycle", cycle, "Sampling cycle, 0..255")->type_name("N");
        g->add_flag("--timing-flag", timing,
                    "Set the timing flag (0x04) that goes with the cycle and the frequency");
        frequencyOpt =
            g->add_option("--frequency", frequency, "Analog output sampling frequency, 24 bits")
                ->type_name("N");
        outputModeOpt = g->add_option("--output-mode", outputMode, "Analog output mode flag")
                            ->check(CLI::IsMember({"on", "off"}));
        g->add_option("--trigger", trigger,
                      "Trigger: lower code 0..15, upper code 0..15, 16-bit value")
            ->type_name("N")
            ->expected(3);
        g->add_option("--trigger-data", triggerData,
                      "Digital trigger data: two byte pairs, e.g. 0x01 0x02 0x03 0x04")
            ->type_name("BYTE")
            ->expected(4);
        g->add_option("--analog-trigger", analogTrigger,
                      "Analog trigger: channel 0..15 and data byte")
            ->type_name("N")
            ->expected(2);
        g->add_option("--channels", channels, "Analog channels to sample, 0..15, e.g. 0,1,5")
            ->type_name("LIST")
            ->delimiter(',');
    }

    bool any() const {
        return cycleOpt->count() > 0 || frequencyOpt->count() > 0 || outputModeOpt->count() > 0 ||
               timing || !trigger.empty() || !triggerData.empty() || !analogTrigger.empty() ||
               !channels.empty();
    }
};

// Parsed before the unit is opened, so that mistakes cost no network search.
struct ParsedSettings {
    std::optional<std::uint8_t> cycle;
    std::optional<std::uint32_t> frequency;
    std::optional<std::uint8_t> outputMode;
    std::uint8_t timing = 0;
    bool timingGiven = false;
    std::optional<std::array<std::uint32_t, 3>> trigger;  // lower, upper << 4, value
    std::optional<std::array<std::uint8_t, 4>> triggerData;
    std::optional<std::array<std::uint8_t, 2>> analogTrigger;
    std::optional<std::vector<std::uint8_t>> channels;
};

ParsedSettings parseSettings(const Settings& s) {
    ParsedSettings p;
    if (s.cycleOpt->count() > 0) p.cycle = parseByte(s.cycle, "cycle");
    if (s.frequencyOpt->count() > 0) {
        p.frequency =
            static_cast<std::uint32_t>(parseNumber(s.frequency, 0, MAX_FREQUENCY, "frequency"));
    }
    if (s.outputModeOpt->count() > 0) p.outputMode = s.outputMode == "on" ? OUTPUT_MODE_FLAG : 0;
    p.timingGiven = s.timing;
    p.timing = s.timing ? TIMING_FLAG : 0;
    if (!s.trigger.empty()) {
        p.trigger = std::array<std::uint32_t, 3>{
            static_cast<std::uint32_t>(parseNumber(s.trigger[0], 0, 15, "lower trigger code")),
            static_cast<std::uint32_t>(parseNumber(s.trigger[1], 0, 15, "upper trigger code") << 4),
            static_cast<std::uint32_t>(parseNumber(s.trigger[2], 0, 0xFFFF, "trigger value"))};
    }
    if (!s.triggerData.empty()) {
        std::array<std::uint8_t, 4> d{};
        for (std::size_t i = 0; i < d.size(); ++i)
            d[i] = parseByte(s.triggerData[i], "trigger data");
        p.triggerData = d;
    }
    if (!s.analogTrigger.empty()) {
        p.analogTrigger =
            std::array<std::uint8_t, 2>{parseByte(s.analogTrigger[0], "analog trigger channel"),
                                        parseByte(s.analogTrigger[1], "analog trigger data")};
    }
    if (!s.channels.empty()) {
        std::vector<std::uint8_t> list;
        for (const std::string& c : s.channels) {
            const std::uint8_t channel = parseByte(c, "sampling channel");
            // The library drops such channels silently; say so instead.
            if (channel >= SAMPLING_CHANNELS) {
                throw CliError(EXIT_REFUSED, fmt::format("sampling channel {} out of range (0..{})",
                                                         channel, SAMPLING_CHANNELS - 1));
            }
            list.push_back(channel);
        }
        p.channels = list;
    }
    return p;
}

// Stores the given settings in the library's record for the unit. The record
// starts at zero in every run; later settings of the same bytes win: the
// analog trigger shares bytes with the digital trigger data.
void applySettings(Unit& unit, const Calls& calls, const ParsedSettings& p) {
    const char* action = "mem settings";
    KELVO_HANDLE h = unit.handle();
    if (p.cycle || (p.timingGiven && !p.frequency)) {
        std::uint8_t timing = 0, cycle = 0;
        unit.check(calls.getCycle(h, &timing, &cycle), action);
        unit.check(calls.setCycle(h, p.timing, p.cycle.value_or(cycle)), action);
    }
    if (p.frequency) unit.check(Kelvo_SetMemSamplingFreqAO(h, p.timing, *p.frequency), action);
    if (p.outputMode) unit.check(Kelvo_SetMemOutputModeAO(h, *p.outputMode), action);
    if (p.trigger) {
        const auto& t = *p.trigger;
        unit.check(calls.setTrigger(h, t[0], t[1], t[2]), action);
    }
    if (p.triggerData) {
        const auto& d = *p.triggerData;
        const std::uint8_t first[2] = {d[0], d[1]};
        const std::uint8_t second[2] = {d[2], d[3]};
        unit.check(Kelvo_SetMemTrgDataDIO(h, 2, first, second), action);
    }
    if (p.analogTrigger) {
        const auto& a = *p.analogTrigger;
        const Status status = Kelvo_SetMemTrgDataAI(h, a[0], a[1]);
        if (status == KELVO_STATUS_BAD_SETTING) {
            unit.refuse(action, fmt::format("analog trigger channel {} out of range (0..{})", a[0],
                                            SAMPLING_CHANNELS - 1));
        }
        unit.check(status, action);
    }
    if (p.channels) {
        unit.check(Kelvo_SetMemTargetChannelAI(h, static_cast<std::uint32_t>(p.channels->size()),
                                               p.channels->data()),
                   action);
    }
}

void printSettings(Unit& unit, const Calls& calls, const ParsedSettings& p) {
    const char* action = "mem config";
    KELVO_HANDLE h = unit.handle();
    std::uint8_t timing = 0, cycle = 0;
    unit.check(calls.getCycle(h, &timing, &cycle), action);
    std::uint8_t freqTiming = 0;
    std::uint32_t frequency = 0;
    unit.check(Kelvo_GetMemSamplingFreqAO(h, &freqTiming, &frequency), action);
    std::uint8_t mode = 0;
    unit.check(Kelvo_GetMemOutputModeAO(h, &mode), action);
    std::uint8_t lower = 0, upper = 0;
    std::uint16_t value = 0;
    unit.check(calls.getTrigger(h, &lower, &upper, &value), action);
    const std::uint8_t pairCount = 2;
    std::uint8_t first[2] = {}, second[2] = {};
    unit.check(Kelvo_GetMemTrgDataDIO(h, &pairCount, first, second), action);
    std::uint8_t aiChannel = 0, aiData = 0;
    unit.check(Kelvo_GetMemTrgDataAI(h, &aiChannel, &aiData), action);

    say("sampling cycle      {}\n", cycle);
    say("timing flag         0x{:02X}\n", timing);
    say("sampling frequency  {}\n", frequency);
    say("output mode         0x{:02X} ({})\n", mode, mode != 0 ? "on" : "off");
    say("trigger             lower {}, upper {}, value 0x{:04X}\n", lower, upper >> 4, value);
    say("trigger data        {:02X} {:02X} / {:02X} {:02X}\n", first[0], first[1], second[0],
        second[1]);
    say("analog trigger      channel {}, data 0x{:02X}\n", aiChannel, aiData);
    // The library has no getter for the channel selection: show what was set.
    const std::vector<std::uint8_t> channels = p.channels.value_or(std::vector<std::uint8_t>{});
    say("sampling channels   {}\n",
        channels.empty() ? "none" : fmt::format("{}", fmt::join(channels, ",")));
    session().result["settings"] = {
        {"timing", timing},
        {"cycle", cycle},
        {"frequency", frequency},
        {"output_mode", mode},
        {"trigger_lower", lower},
        {"trigger_upper", upper >> 4},
        {"trigger_value", value},
        {"trigger_data1", {first[0], first[1]}},
        {"trigger_data2", {second[0], second[1]}},
        {"analog_trigger", {aiChannel, aiData}},
        {"target_channels", channels},
    };
}

struct ControlArgs {
    std::string unit;
    Settings settings;
};

enum class Control { CONFIG, START, STOP };

void runControl(Control control, const ControlArgs& args) {
    const ParsedSettings parsed = parseSettings(args.settings);
    if (control == Control::CONFIG && args.settings.any()) {
        throw CliError(EXIT_USAGE,
                       "mem config: the library keeps sampling settings only while this process "
                       "runs, so they would be gone before any start; pass them to 'mem start' "
                       "(or 'mem stop')");
    }
    const char* action = control == Control::START  ? "mem start"
                         : control == Control::STOP ? "mem stop"
                                                    : "mem config";
    Unit unit = Unit::open(parseUnitRef(args.unit), Family::ANY, action);
    const Calls& calls = callsFor(unit);
    applySettings(unit, calls, parsed);
    session().result["unit"] = unit.label();
    switch (control) {
        case Control::CONFIG:
            break;
        case Control::START:
            unit.check(calls.start(unit.handle()), action);
            say("sampling started on {}\n", unit.label());
            break;
        case Control::STOP:
            unit.check(calls.stop(unit.handle()), action);
            say("sampling stopped on {}\n", unit.label());
            break;
    }
    session().result["action"] = action + 4;
    if (control == Control::CONFIG || session().json) printSettings(unit, calls, parsed);
}

void runStatus(const std::string& unitText) {
    Unit unit = Unit::open(parseUnitRef(unitText), Family::ANY, "mem status");
    std::uint32_t count = 0;
    std::uint8_t status = callsFor(unit).status(unit.handle(), &count);
    // The library reports a failed exchange as status 0 and count 0, which an
    // idle unit with empty memory also reports. Tell them apart by asking the
    // unit for its status once more through raw access, which says whether
    // the unit answered, and then take the typed answer again.
    if (status == 0 && count == 0) {
        std::array<std::uint8_t, kelvo::frame::DATA_SIZE> frame{};
        frame[kelvo::frame::COMMAND] = kelvo::CMD_MEM_STATUS;
        frame[kelvo::frame::LENGTH] = kelvo::MEM_STATUS_ASK;
        if (Kelvo_Access(unit.handle(), kelvo::frame::HEADER_SIZE, frame.data()) != 1) {
            throw CliError(EXIT_COMM, fmt::format("mem status on {}: the sampling status could "
                                                  "not be read: unit did not answer",
                                                  unit.label()));
        }
        status = callsFor(unit).status(unit.handle(), &count);
    }
    say("sampling status     0x{:02X}\n", status);
    say("memory count        {}\n", count);
    session().result = {{"unit", unit.label()}, {"state", status}, {"count", count}};
}

void runSeek(const std::string& unitText, const std::string& positionText) {
    const std::uint32_t position = parseUint32(positionText, "position");
    Unit unit = Unit::open(parseUnitRef(unitText), Family::ANY, "mem seek");
    unit.check(callsFor(unit).seek(unit.handle(), position), "mem seek");
    say("memory position set to {} (0x{:X})\n", position, position);
    session().result = {{"unit", unit.label()}, {"position", position}};
}

struct TransferArgs {
    std::string unit, length, output, input, hex, seek, csv;
    std::vector<std::string> channels;
    bool fromSeek = false;
};

// One chunk of a transfer; a transfer of one chunk goes on from the unit's
// position, so a transfer "from the start" of that size seeks to 0 first.
constexpr std::uint32_t CHUNK_SIZE = 248;

std::uint32_t parseLength(const std::string& text) {
    return static_cast<std::uint32_t>(parseNumber(text, 0, MAX_TRANSFER, "length"));
}

// Seeks first when asked, or to 0 for a transfer from the start that fits
// one chunk; returns whether the seek variant of the transfer is to be used.
bool prepareTransfer(Unit& unit, const Calls& calls, const TransferArgs& args,
                     std::optional<std::uint32_t> seek, std::uint32_t length) {
    if (!seek && !args.fromSeek && length <= CHUNK_SIZE) seek = 0;
    if (seek) unit.check(calls.seek(unit.handle(), *seek), "mem seek");
    return seek.has_value() || args.fromSeek;
}

// The output file, opened before the unit is touched so that a bad path costs
// no exchange, and removed again if the transfer fails.
class OutputFile {
  public:
    explicit OutputFile(const std::string& path) : path_(path) {
        if (path_.empty()) return;
        file_ = openOutput(path_, "wb");
    }
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;
    ~OutputFile() {
        if (file_ != nullptr && file_ != stdout) {
            std::fclose(file_);
            std::remove(path_.c_str());
        }
    }

    bool wanted() const { return file_ != nullptr; }
    bool isFile() const { return file_ != stdout; }

    void write(const std::vector<std::uint8_t>& data) {
        const bool written = std::fwrite(data.data(), 1, data.size(), file_) == data.size();
        const bool closed = isFile() ? std::fclose(file_) == 0 : std::fflush(file_) == 0;
        if (isFile()) file_ = nullptr;  // kept: it is complete
        if (!written || !closed) {
            if (isFile()) std::remove(path_.c_str());
            throw CliError(EXIT_LOCAL, fmt::format("cannot write {}", path_));
        }
    }

  private:
    std::string path_;
    std::FILE* file_ = nullptr;
};

// The sampling memory as CSV: one row per whole sample, one column per
// recorded port or channel. A sample is the 8-byte port image on a digital
// unit, and two little-endian bytes per channel on the others: the chosen
// analog input channels (all 16 when none are given), every analog output,
// every counter. Analog values are signed, counts are not.
struct CsvLayout {
    std::vector<std::string> columns;
    std::size_t record = 0;
    bool digital = false;
    bool signedValues = false;
};

CsvLayout csvLayout(Unit& unit, const std::vector<std::uint8_t>& channels) {
    const KelvoModel* m = unit.model();
    if (m == nullptr)
        unit.refuse("mem read", "its model is unknown, so its samples cannot be decoded");
    CsvLayout layout;
    layout.digital = kelvo_kind_is_digital(m->kind) != 0;
    layout.signedValues = kelvo_kind_is_analog(m->kind) != 0;
    if (layout.digital) {
        layout.record = 8;
        for (unsigned p = 0; p < m->total; ++p) layout.columns.push_back(fmt::format("port{}", p));
        return layout;
    }
    std::vector<std::uint8_t> list = channels;
    if (m->kind != KELVO_KIND_ANALOG_IN || list.empty()) {
        list.clear();
        for (unsigned c = 0; c < m->total; ++c) list.push_back(static_cast<std::uint8_t>(c));
    }
    unit.checkRange(list, Limit::TOTAL, "channel", "mem read");
    for (std::uint8_t c : list) layout.columns.push_back(fmt::format("channel{}", c));
    layout.record = 2 * list.size();
    return layout;
}

std::string csvText(const CsvLayout& layout, const std::vector<std::uint8_t>& data,
                    std::size_t& rows) {
    std::string text = fmt::format("sample,{}\n", fmt::join(layout.columns, ","));
    rows = data.size() / layout.record;
    for (std::size_t r = 0; r < rows; ++r) {
        const std::uint8_t* sample = data.data() + r * layout.record;
        text += fmt::format("{}", r);
        for (std::size_t c = 0; c < layout.columns.size(); ++c) {
            long value = sample[c];
            if (!layout.digital) {
                const auto raw = static_cast<std::uint16_t>(sample[2 * c] | sample[2 * c + 1] << 8);
                value = layout.signedValues ? static_cast<std::int16_t>(raw) : raw;
            }
            text += fmt::format(",{}", value);
        }
        text += '\n';
    }
    return text;
}

void runRead(const TransferArgs& args) {
    const std::uint32_t length = parseLength(args.length);
    std::optional<std::uint32_t> seek;
    if (!args.seek.empty()) seek = parseUint32(args.seek, "position");
    if (!args.csv.empty() && !args.output.empty()) {
        throw CliError(EXIT_USAGE, "give -o FILE for the bytes or --csv FILE, not both");
    }
    std::vector<std::uint8_t> channels;
    for (const std::string& c : args.channels) channels.push_back(parseByte(c, "channel"));
    const UnitRef ref = parseUnitRef(args.unit);
    OutputFile output(args.csv.empty() ? args.output : args.csv);
    Unit unit = Unit::open(ref, Family::ANY, "mem read");
    const CsvLayout layout = args.csv.empty() ? CsvLayout{} : csvLayout(unit, channels);
    const Calls& calls = callsFor(unit);
    const bool seekVariant = prepareTransfer(unit, calls, args, seek, length);
    std::vector<std::uint8_t> data(length, 0);
    const Status status = seekVariant ? calls.seekRead(unit.handle(), length, data.data())
                                      : calls.read(unit.handle(), length, data.data());
    unit.check(status, "mem read");
    auto& result = session().result;
    result = {{"unit", unit.label()}, {"position", seek.value_or(0)}, {"length", length}};

    if (!output.wanted()) {
        say("{}", hexDump(data.data(), data.size(), seek.value_or(0)));
        result["data"] = hexString(data.data(), data.size());
        return;
    }
    const bool toFile = output.isFile();
    std::string what = "bytes";
    if (args.csv.empty()) {
        output.write(data);
    } else {
        std::size_t rows = 0;
        const std::string text = csvText(layout, data, rows);
        output.write(std::vector<std::uint8_t>(text.begin(), text.end()));
        what = fmt::format("bytes ({} samples as CSV)", rows);
        result["samples"] = rows;
    }
    if (toFile) {
        result["file"] = args.csv.empty() ? args.output : args.csv;
        fmt::print(stderr, "kelvo: {} {} read from {} into {}\n", data.size(), what, unit.label(),
                   result["file"].get<std::string>());
    }
}

std::vector<std::uint8_t> readInput(const std::string& path) {
    std::FILE* file = path == "-" ? stdin : std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        throw CliError(EXIT_LOCAL, fmt::format("cannot open {}: {}", path, std::strerror(errno)));
    }
    std::vector<std::uint8_t> data;
    std::uint8_t chunk[4096];
    std::size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, file)) > 0) {
        data.insert(data.end(), chunk, chunk + n);
        if (data.size() > MAX_TRANSFER) break;
    }
    const bool failed = std::ferror(file) != 0;
    if (file != stdin) std::fclose(file);
    if (failed) throw CliError(EXIT_LOCAL, fmt::format("cannot read {}", path));
    if (data.size() > MAX_TRANSFER) {
        throw CliError(EXIT_REFUSED, fmt::format("{} is larger than the unit's memory ({} bytes)",
                                                 path, MAX_TRANSFER));
    }
    return data;
}

void runWrite(const TransferArgs& args) {
    if (args.input.empty() == args.hex.empty()) {
        throw CliError(EXIT_USAGE, "give a FILE to write, or --hex BYTES");
    }
    const std::vector<std::uint8_t> data =
        args.hex.empty() ? readInput(args.input) : parseHexBytes(args.hex);
    std::optional<std::uint32_t> seek;
    if (!args.seek.empty()) seek = parseUint32(args.seek, "position");
    Unit unit = Unit::open(parseUnitRef(args.unit), Family::ANY, "mem write");
    const Calls& calls = callsFor(unit);
    const auto length = static_cast<std::uint32_t>(data.size());
    const bool seekVariant = prepareTransfer(unit, calls, args, seek, length);
    const Status status = seekVariant ? calls.seekWrite(unit.handle(), length, data.data())
                                      : calls.write(unit.handle(), length, data.data());
    unit.check(status, "mem write");
    say("{} bytes written to the memory of {}\n", data.size(), unit.label());
    session().result = {{"unit", unit.label()}, {"position", seek.value_or(0)}, {"length", length}};
}

void addTransferOptions(CLI::App* command, TransferArgs& args) {
    command
        ->add_option("--seek", args.seek,
                     "Set the memory position first, then use the seek variant of the "
                     "transfer")
        ->type_name("POSITION");
    command->add_flag("--from-seek", args.fromSeek,
                      "Use the seek variant of the transfer, from the position set by an "
                      "earlier 'mem seek'");
}

}  // namespace

void addMemCommands(CLI::App& app) {
    CLI::App* mem = app.add_subcommand("mem", "Sampling memory: settings, control and transfers");
    mem->require_subcommand(1);

    const struct {
        const char* name;
        const char* help;
        Control control;
    } controls[] = {
        {"config",
         "Show the sampling settings the library would send (settings are given to start or "
         "stop: the library keeps them only while this process runs)",
         Control::CONFIG},
        {"start", "Start sampling, sending the settings given here", Control::START},
        {"stop", "Stop sampling, sending the settings given here", Control::STOP},
    };
    for (const auto& c : controls) {
        auto args = std::make_shared<ControlArgs>();
        CLI::App* command = mem->add_subcommand(c.name, c.help);
        addUnitArgument(command, args->unit);
        args->settings.addOptions(command);
        const Control control = c.control;
        command->callback([args, control] { runControl(control, *args); });
    }

    auto statusUnit = std::make_shared<std::string>();
    CLI::App* status = mem->add_subcommand(
        "status",
        "Show the unit's sampling status byte and memory count (a unit that does not "
        "answer shows 0 and 0)");
    addUnitArgument(status, *statusUnit);
    status->callback([statusUnit] { runStatus(*statusUnit); });

    auto seekArgs = std::make_shared<std::array<std::string, 2>>();
    CLI::App* seek = mem->add_subcommand("seek", "Set the unit's memory position");
    addUnitArgument(seek, (*seekArgs)[0]);
    seek->add_option("POSITION", (*seekArgs)[1], "Memory position, 32 bits")->required();
    seek->callback([seekArgs] { runSeek((*seekArgs)[0], (*seekArgs)[1]); });

    auto readArgs = std::make_shared<TransferArgs>();
    CLI::App* read = mem->add_subcommand(
        "read",
        "Read LENGTH bytes of sampling memory from its start (address 0, whatever the length), "
        "as a hex dump, into a file, or as CSV of the samples");
    addUnitArgument(read, readArgs->unit);
    read->add_option("LENGTH", readArgs->length, "Number of bytes")->required();
    read->add_option("-o,--output", readArgs->output, "Write the bytes to this file ('-': stdout)")
        ->type_name("FILE");
    read->add_option("--csv", readArgs->csv,
                     "Write the samples as CSV to this file ('-': stdout): one row per sample, "
                     "one column per port or channel")
        ->type_name("FILE");
    read->add_option("--channels", readArgs->channels,
                     "Analog input channels the recording holds, for --csv (default: all 16)")
        ->type_name("LIST")
        ->delimiter(',');
    addTransferOptions(read, *readArgs);
    read->callback([readArgs] { runRead(*readArgs); });

    auto writeArgs = std::make_shared<TransferArgs>();
    CLI::App* write = mem->add_subcommand(
        "write",
        "Write the bytes of a file (or --hex) to sampling memory from its start (address 0, "
        "whatever the length)");
    addUnitArgument(write, writeArgs->unit);
    write->add_option("FILE", writeArgs->input, "File to send ('-': stdin)");
    write->add_option("--hex", writeArgs->hex, "Bytes to send, in hex, instead of a file")
        ->type_name("HEX");
    addTransferOptions(write, *writeArgs);
    write->callback([writeArgs] { runWrite(*writeArgs); });
}

}  // namespace kelvo_cli
