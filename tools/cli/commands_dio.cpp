// dio read|write|dir: the digital ports of a unit. Every call exchanges the
// whole port image once, so several ports go through the multi-port calls.
#include <fmt/format.h>

#include <array>
#include <memory>
#include <string>
#include <vector>

#include "commands.h"
#include "common/image.h"
#include "unit.h"
#include "values.h"

namespace kelvo_cli {

namespace {

// The library takes port lists with an 8-bit count.
constexpr std::size_t MAX_LIST_ENTRIES = 255;
constexpr std::size_t MAX_DIRECTION_PORTS = 8;

std::string badPortMessage(Unit& unit, const std::vector<std::uint8_t>& ports) {
    // Without a known model only a single port can be named.
    return ports.size() == 1 ? unit.rangeMessage("port", ports[0], Limit::TOTAL) : std::string();
}

struct ReadArgs {
    std::string unit;
    std::vector<std::string> ports;
    bool all = false;
    bool outputs = false;
};

// The output ports of a digital model: after the inputs on a unit with both,
// every port on an output or bidirectional unit.
bool isOutputPort(const KelvoModel& m, unsigned port) {
    if (m.kind == KELVO_KIND_DIGITAL_INOUT) return port >= m.inputs && port < m.total;
    return (m.kind == KELVO_KIND_DIGITAL_OUT || m.kind == KELVO_KIND_DIGITAL_BIDIR) &&
           port < m.total;
}

// The output ports as the unit holds them: its whole port image, read raw.
void runReadOutputs(const ReadArgs& args, std::vector<std::uint8_t> ports) {
    Unit unit = Unit::open(parseUnitRef(args.unit), Family::DIGITAL, "dio read");
    const KelvoModel* m = unit.model();
    if (m == nullptr) unit.refuse("dio read", "its model is unknown, so are its output ports");
    if (ports.empty()) {
        for (unsigned p = 0; p < m->total; ++p) {
            if (isOutputPort(*m, p)) ports.push_back(static_cast<std::uint8_t>(p));
        }
        if (ports.empty()) unit.refuse("dio read", fmt::format("{} has no output ports", m->name));
    }
    for (std::uint8_t p : ports) {
        if (!isOutputPort(*m, p)) {
            unit.refuse("dio read", fmt::format("port {} is no output port of {}", p, m->name));
        }
    }
    std::array<std::uint8_t, 8> image{};
    switch (kelvo::tools::ReadImage(unit.handle(), image.size(), image.data())) {
        case kelvo::tools::ImageRead::OK:
            break;
        case kelvo::tools::ImageRead::FAILED:
            unit.check(KELVO_STATUS_COMM_ERROR, "dio read");
            break;
        case kelvo::tools::ImageRead::SHORT:
            throw CliError(EXIT_COMM, fmt::format("dio read on {}: the reply carried fewer port "
                                                  "bytes than asked for",
                                                  unit.label()));
    }
    auto& result = session().result;
    result["unit"] = unit.label();
    result["ports"] = nlohmann::ordered_json::array();
    for (std::uint8_t p : ports) {
        say("port {}: {}\n", p, byteWithBits(image[p]));
        result["ports"].push_back({{"port", p}, {"value", image[p]}});
    }
}

void runRead(const ReadArgs& args) {
    if (args.all == !args.ports.empty() && !args.outputs) {
        throw CliError(EXIT_USAGE, "give the ports to read, or --all");
    }
    if (args.all && args.outputs) {
        throw CliError(EXIT_USAGE, "--outputs reads every output port without --all");
    }
    if (args.ports.size() > MAX_LIST_ENTRIES) {
        throw CliError(EXIT_REFUSED, fmt::format("at most {} ports per read", MAX_LIST_ENTRIES));
    }
    std::vector<std::uint8_t> ports;
    for (const std::string& p : args.ports) ports.push_back(parseByte(p, "port"));
    if (args.outputs) return runReadOutputs(args, ports);
    Unit unit = Unit::open(parseUnitRef(args.unit), Family::DIGITAL, "dio read");
    if (args.all) {
        const unsigned inputs = unit.count(Limit::INPUTS, "read all ports");
        if (inputs == 0) unit.refuse("dio read", "it has no input ports to read");
        for (unsigned p = 0; p < inputs; ++p) ports.push_back(static_cast<std::uint8_t>(p));
    }
    unit.checkRange(ports, Limit::INPUTS, "port", "dio read");

    std::vector<std::uint8_t> data(ports.size(), 0);
    Status status;
    if (ports.size() == 1) {
        status = Kelvo_ReadDIO(unit.handle(), ports[0], data.data());
    } else {
        status = Kelvo_MultiReadDIO(unit.handle(), static_cast<std::uint32_t>(ports.size()),
                                    ports.data(), data.data());
    }
    unit.check(status, "dio read", [&] { return badPortMessage(unit, ports); });
    auto& result = session().result;
    result["unit"] = unit.label();
    result["ports"] = nlohmann::ordered_json::array();
    for (std::size_t i = 0; i < ports.size(); ++i) {
        say("port {}: {}\n", ports[i], byteWithBits(data[i]));
        result["ports"].push_back({{"port", ports[i]}, {"value", data[i]}});
    }
}

struct WriteArgs {
    std::string unit;
    std::vector<std::string> pairs;  // PORT VALUE[/MASK] ...
    std::string mask = "0xFF";
};

void runWrite(const WriteArgs& args) {
    if (args.pairs.size() % 2 != 0) {
        throw CliError(EXIT_USAGE, "give PORT VALUE pairs (a value is missing)");
    }
    if (args.pairs.size() / 2 > MAX_LIST_ENTRIES) {
        throw CliError(EXIT_REFUSED, fmt::format("at most {} ports per write", MAX_LIST_ENTRIES));
    }
    const std::uint8_t defaultMask = parseByte(args.mask, "mask");
    std::vector<std::uint8_t> ports, values, masks;
    for (std::size_t i = 0; i < args.pairs.size(); i += 2) {
        ports.push_back(parseByte(args.pairs[i], "port"));
        const std::string& v = args.pairs[i + 1];
        const auto slash = v.find('/');
        values.push_back(parseByte(v.substr(0, slash), "value"));
        masks.push_back(slash == std::string::npos ? defaultMask
                                                   : parseByte(v.substr(slash + 1), "mask"));
    }
    Unit unit = Unit::open(parseUnitRef(args.unit), Family::DIGITAL, "dio write");
    unit.checkRange(ports, Limit::TOTAL, "port", "dio write");
    for (std::uint8_t v : values) unit.checkValue(v, false, "dio write");
    Status status;
    if (ports.size() == 1) {
        status = Kelvo_WriteDIO(unit.handle(), ports[0], values[0], masks[0]);
    } else {
        status = Kelvo_MultiWriteDIO(unit.handle(), static_cast<std::uint32_t>(ports.size()),
                                     ports.data(), values.data(), masks.data());
    }
    unit.check(status, "dio write", [&] { return badPortMessage(unit, ports); });
    auto& result = session().result;
    result["unit"] = unit.label();
    result["ports"] = nlohmann::ordered_json::array();
    for (std::size_t i = 0; i < ports.size(); ++i) {
        say("port {}: wrote 0x{:02X} under mask 0x{:02X}\n", ports[i], values[i], masks[i]);
        result["ports"].push_back({{"port", ports[i]}, {"value", values[i]}, {"mask", masks[i]}});
    }
}

struct DirArgs {
    std::string unit;
    std::vector<std::string> directions;
};

void runDir(const DirArgs& args) {
    if (args.directions.size() > MAX_DIRECTION_PORTS) {
        throw CliError(EXIT_REFUSED, fmt::format("at most {} direction bytes (ports 0..{})",
                                                 MAX_DIRECTION_PORTS, MAX_DIRECTION_PORTS - 1));
    }
    std::vector<std::uint8_t> directions;
    for (const std::string& d : args.directions) directions.push_back(parseByte(d, "direction"));
    Unit unit = Unit::open(parseUnitRef(args.unit), Family::DIGITAL, "dio dir");
    unit.check(Kelvo_SetChDirDIO(unit.handle(), static_cast<std::uint32_t>(directions.size()),
                                 directions.data()),
               "dio dir");
    auto& result = session().result;
    result["unit"] = unit.label();
    result["directions"] = directions;
    for (std::size_t p = 0; p < directions.size(); ++p) {
        say("port {}: direction 0x{:02X}\n", p, directions[p]);
    }
}

}  // namespace

void addDioCommands(CLI::App& app) {
    CLI::App* dio = app.add_subcommand("dio", "Digital ports: read, write, set directions");
    dio->require_subcommand(1);

    auto read = std::make_shared<ReadArgs>();
    CLI::App* readCmd =
        dio->add_subcommand("read", "Read input ports (several ports are read in one exchange)");
    addUnitArgument(readCmd, read->unit);
    readCmd->add_option("PORT", read->ports, "Port numbers, e.g. 0 1 2");
    readCmd->add_flag("--all", read->all, "Read every input port of the model");
    readCmd->add_flag("--outputs", read->outputs,
                      "Read output ports back as the unit holds them (without PORT: all of them)");
    readCmd->callback([read] { runRead(*read); });

    auto write = std::make_shared<WriteArgs>();
    CLI::App* writeCmd = dio->add_subcommand(
        "write", "Set the lines of one or more ports (several ports go in one exchange)");
    addUnitArgument(writeCmd, write->unit);
    writeCmd
        ->add_option("PORT_VALUE", write->pairs,
                     "Pairs of port and value; a value may carry its own mask as VALUE/MASK "
                     "(e.g. 1 0x0F/0x3C)")
        ->required();
    writeCmd
        ->add_option("-m,--mask", write->mask, "Lines to change, for values without their own mask")
        ->type_name("MASK")
        ->capture_default_str();
    writeCmd->callback([write] { runWrite(*write); });

    auto dir = std::make_shared<DirArgs>();
    CLI::App* dirCmd = dio->add_subcommand(
        "dir", "Send direction bytes for ports 0, 1, ... (their meaning is the unit's)");
    addUnitArgument(dirCmd, dir->unit);
    dirCmd->add_option("DIRECTION", dir->directions, "One byte per port, from port 0, at most 8")
        ->required();
    dirCmd->callback([dir] { runDir(*dir); });
}

}  // namespace kelvo_cli
