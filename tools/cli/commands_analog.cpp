// aio read|write|gain and cou read|write|mode: analog channels and counters.
// Several analog channels are read or written in one exchange; counters are
// read and written one channel at a time.
#include <fmt/format.h>

#include <algorithm>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "commands.h"
#include "unit.h"
#include "values.h"

namespace kelvo_cli {

namespace {

constexpr std::size_t MAX_LIST_ENTRIES = 255;

using ReadOne = decltype(&Kelvo_ReadAIO);
using WriteOne = decltype(&Kelvo_WriteAIO);

// What differs between the analog and the counter commands.
struct Calls {
    const char* name;  // "aio" or "cou"
    Family family;
    ReadOne readOne;
    WriteOne writeOne;
    bool multiChannel;  // the analog calls move many channels in one exchange
};

const Calls ANALOG{"aio", Family::ANALOG, Kelvo_ReadAIO, Kelvo_WriteAIO, true};
const Calls COUNTER{"cou", Family::COUNTER, Kelvo_ReadCOU, Kelvo_WriteCOU, false};

struct ReadArgs {
    std::string unit;
    std::vector<std::string> channels;
    bool all = false;
};

std::vector<std::uint8_t> parseChannels(const std::vector<std::string>& texts) {
    if (texts.size() > MAX_LIST_ENTRIES) {
        throw CliError(EXIT_REFUSED, fmt::format("at most {} channels at once", MAX_LIST_ENTRIES));
    }
    std::vector<std::uint8_t> channels;
    for (const std::string& c : texts) channels.push_back(parseByte(c, "channel"));
    return channels;
}

// One exchange for any set of analog channels. The library returns the values
// of the distinct channels in ascending channel order.
std::vector<std::int32_t> readAnalogChannels(Unit& unit,
                                             const std::vector<std::uint8_t>& channels) {
    std::vector<std::int32_t> block(channels.size(), 0);
    unit.check(Kelvo_MultiReadAIO(unit.handle(), static_cast<std::uint32_t>(channels.size()),
                                  channels.data(), block.data()),
               "aio read");
    std::vector<std::uint8_t> ascending = channels;
    std::sort(ascending.begin(), ascending.end());
    ascending.erase(std::unique(ascending.begin(), ascending.end()), ascending.end());
    std::vector<std::int32_t> values;
    for (std::uint8_t c : channels) {
        const auto pos =
            std::lower_bound(ascending.begin(), ascending.end(), c) - ascending.begin();
        values.push_back(block[static_cast<std::size_t>(pos)]);
    }
    return values;
}

// The channels and values as the commands print them.
void report(Unit& unit, const std::vector<std::uint8_t>& channels,
            const std::vector<std::int32_t>& values, const char* verb) {
    auto& result = session().result;
    result["unit"] = unit.label();
    result["channels"] = nlohmann::ordered_json::array();
    for (std::size_t i = 0; i < channels.size(); ++i) {
        say("channel {}: {}{}\n", channels[i], verb, values[i]);
        result["channels"].push_back({{"channel", channels[i]}, {"value", values[i]}});
    }
}

void runRead(const Calls& family, const ReadArgs& args) {
    if (args.all == !args.channels.empty()) {
        throw CliError(EXIT_USAGE, "give the channels to read, or --all");
    }
    std::vector<std::uint8_t> channels = parseChannels(args.channels);
    const std::string action = fmt::format("{} read", family.name);
    Unit unit = Unit::open(parseUnitRef(args.unit), family.family, action);
    if (args.all) {
        const unsigned inputs = unit.count(Limit::INPUTS, "read all channels");
        if (inputs == 0) unit.refuse(action, "it has no input channels to read");
        for (unsigned c = 0; c < inputs; ++c) channels.push_back(static_cast<std::uint8_t>(c));
    }
    // The multi-channel calls skip channels outside the model without an
    // error, which would leave the list and the values out of step.
    unit.checkRange(channels, Limit::INPUTS, "channel", action);

    std::vector<std::int32_t> values;
    // Without a known model the tool cannot check a channel list, so it reads
    // channel by channel and lets the library judge each one.
    if (family.multiChannel && channels.size() > 1 && unit.model() != nullptr) {
        values = readAnalogChannels(unit, channels);
    } else {
        for (std::uint8_t c : channels) {
            std::int32_t value = 0;
            unit.check(family.readOne(unit.handle(), c, &value), action,
                       [&] { return unit.rangeMessage("channel", c, Limit::INPUTS); });
            values.push_back(value);
        }
    }
    report(unit, channels, values, "");
}

struct WriteArgs {
    std::string unit;
    std::vector<std::string> pairs;  // CHANNEL VALUE ...
};

void runWrite(const Calls& family, const WriteArgs& args) {
    if (args.pairs.size() % 2 != 0) {
        throw CliError(EXIT_USAGE, "give CHANNEL VALUE pairs (a value is missing)");
    }
    if (args.pairs.size() / 2 > MAX_LIST_ENTRIES) {
        throw CliError(EXIT_REFUSED, fmt::format("at most {} channels at once", MAX_LIST_ENTRIES));
    }
    // A later pair for the same channel wins.
    std::map<std::uint8_t, std::int32_t> writes;
    for (std::size_t i = 0; i < args.pairs.size(); i += 2) {
        writes[parseByte(args.pairs[i], "channel")] = parseInt32(args.pairs[i + 1], "value");
    }
    const std::string action = fmt::format("{} write", family.name);
    Unit unit = Unit::open(parseUnitRef(args.unit), family.family, action);
    // Values are sent in the model's value width: refuse what would be cut off.
    std::vector<std::uint8_t> channels;
    std::vector<std::int32_t> values;
    for (const auto& [channel, value] : writes) {
        unit.checkValue(value, true, action);
        channels.push_back(channel);
        values.push_back(value);
    }
    unit.checkRange(channels, Limit::OUTPUTS, "channel", action);

    if (family.multiChannel && writes.size() > 1 && unit.model() != nullptr) {
        // The library takes the values in ascending channel order, which is
        // the map's order.
        unit.check(Kelvo_MultiWriteAIO(unit.handle(), static_cast<std::uint32_t>(channels.size()),
                                       channels.data(), values.data()),
                   action);
    } else {
        for (const auto& [channel, value] : writes) {
            unit.check(family.writeOne(unit.handle(), channel, value), action,
                       [&] { return unit.rangeMessage("channel", channel, Limit::OUTPUTS); });
        }
    }
    report(unit, channels, values, "wrote ");
}

struct GainArgs {
    std::string unit, channel, gain;
};

void runGain(const GainArgs& args) {
    const std::uint8_t channel = parseByte(args.channel, "channel");
    const std::uint8_t gain = parseByte(args.gain, "gain");
    Unit unit = Unit::open(parseUnitRef(args.unit), Family::ANALOG, "aio gain");
    unit.checkRange({&channel, 1}, Limit::TOTAL, "channel", "aio gain");
    unit.check(Kelvo_SetGainAIO(unit.handle(), channel, gain), "aio gain");
    say("channel {}: gain 0x{:02X}\n", channel, gain);
    session().result = {{"unit", unit.label()}, {"channel", channel}, {"gain", gain}};
}

struct ModeArgs {
    std::string unit, channel, low, high;
};

void runMode(const ModeArgs& args) {
    const std::uint8_t channel = parseByte(args.channel, "channel");
    const auto low = static_cast<std::uint8_t>(parseNumber(args.low, 0, 15, "low mode"));
    const auto high = static_cast<std::uint8_t>(parseNumber(args.high, 0, 15, "high mode"));
    Unit unit = Unit::open(parseUnitRef(args.unit), Family::COUNTER, "cou mode");
    unit.checkRange({&channel, 1}, Limit::TOTAL, "channel", "cou mode");
    unit.check(Kelvo_SetModeCOU(unit.handle(), channel, low, high), "cou mode");
    say("channel {}: mode 0x{:X}{:X} (high {}, low {})\n", channel, high, low, high, low);
    session().result = {
        {"unit", unit.label()}, {"channel", channel}, {"mode_low", low}, {"mode_high", high}};
}

void addReadWrite(CLI::App* parent, const Calls& family, const char* readHelp,
                  const char* writeHelp) {
    auto read = std::make_shared<ReadArgs>();
    CLI::App* readCmd = parent->add_subcommand("read", readHelp);
    addUnitArgument(readCmd, read->unit);
    readCmd->add_option("CHANNEL", read->channels, "Channel numbers, e.g. 0 3");
    readCmd->add_flag("--all", read->all, "Read every input channel of the model");
    readCmd->callback([&family, read] { runRead(family, *read); });

    auto write = std::make_shared<WriteArgs>();
    CLI::App* writeCmd = parent->add_subcommand("write", writeHelp);
    addUnitArgument(writeCmd, write->unit);
    writeCmd
        ->add_option("CHANNEL_VALUE", write->pairs,
                     "Pairs of channel and value (signed, decimal or 0x hex), e.g. 0 2048 1 -5")
        ->required();
    writeCmd->callback([&family, write] { runWrite(family, *write); });
}

}  // namespace

void addAnalogCommands(CLI::App& app) {
    CLI::App* aio = app.add_subcommand("aio", "Analog channels: read, write, set gain");
    aio->require_subcommand(1);
    addReadWrite(aio, ANALOG, "Read analog input channels (several in one exchange)",
                 "Write analog output channels (several in one exchange)");
    auto gain = std::make_shared<GainArgs>();
    CLI::App* gainCmd =
        aio->add_subcommand("gain", "Send a channel's gain byte (its meaning is the unit's)");
    addUnitArgument(gainCmd, gain->unit);
    gainCmd->add_option("CHANNEL", gain->channel, "Channel number")->required();
    gainCmd->add_option("GAIN", gain->gain, "Gain byte")->required();
    gainCmd->callback([gain] { runGain(*gain); });

    CLI::App* cou = app.add_subcommand("cou", "Counters: read, write, set mode");
    cou->require_subcommand(1);
    addReadWrite(cou, COUNTER, "Read counters", "Write (preset) counters");
    auto mode = std::make_shared<ModeArgs>();
    CLI::App* modeCmd = cou->add_subcommand(
        "mode", "Send a counter's mode byte, (HIGH << 4) | LOW (its meaning is the unit's)");
    addUnitArgument(modeCmd, mode->unit);
    modeCmd->add_option("CHANNEL", mode->channel, "Counter channel")->required();
    modeCmd->add_option("LOW", mode->low, "Low mode nibble, 0..15")->required();
    modeCmd->add_option("HIGH", mode->high, "High mode nibble, 0..15")->required();
    modeCmd->callback([mode] { runMode(*mode); });
}

}  // namespace kelvo_cli
