// The command families. Each adds its subcommands to the application; the
// subcommand callbacks do the work and report failures by throwing CliError.
#pragma once

#include <CLI/CLI.hpp>
#include <string>

namespace kelvo_cli {

void addInfoCommands(CLI::App& app);    // list, info, raw
void addDioCommands(CLI::App& app);     // dio read|write|dir
void addAnalogCommands(CLI::App& app);  // aio read|write|gain, cou read|write|mode
void addMemCommands(CLI::App& app);     // mem config|start|stop|status|seek|read|write
void addWatchCommand(CLI::App& app);    // watch

// The UNIT positional every unit command takes.
inline CLI::Option* addUnitArgument(CLI::App* command, std::string& unit) {
    return command->add_option("UNIT", unit, "MODEL:ID (KV-103:1, 3:1) or the unit's IPv4 address")
        ->required();
}

}  // namespace kelvo_cli
