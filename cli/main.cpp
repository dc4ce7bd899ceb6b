// kelvo: command-line tool for Kelvo Ethernet I/O units, built on the public
// API of the library like any other application.
#include <fmt/format.h>

#include <CLI/CLI.hpp>
#include <cstring>
#include <new>

#include "commands.h"
#include "kelvo.h"
#include "unit.h"

// Set by the build from the project version.
#ifndef KELVO_CLI_VERSION
#define KELVO_CLI_VERSION "unknown"
#endif

namespace {

constexpr const char* kFooter =
    R"(UNIT is MODEL:ID (KV-103:1, or 3:1 with the numeric model code) or the unit's
IPv4 address. Numbers are decimal or 0x hex. Every command that takes a UNIT,
and list, first searches the network for units.

Exit codes:
  0  success
  1  usage error: bad command line
  2  unit not found, could not connect, or not open
  3  communication error: the unit did not answer
  4  port, channel or setting out of range for the unit
  5  local failure: a file could not be read or written, out of memory)";

// The library's version; asks no unit, so it needs no network search.
std::string versionText() {
    KelvoVersionInfo info{};
    std::string text = fmt::format("kelvo {}", KELVO_CLI_VERSION);
    if (Kelvo_GetVerInfo(nullptr, &info) == 1) {
        text += fmt::format("\nlibrary {}.{} ({})", info.libraryMajor, info.libraryMinor,
                            std::string(info.libraryDate, strnlen(info.libraryDate, 16)));
    }
    return text;
}

// Positionals need no type in the help: their names say it.
void hidePositionalTypes(CLI::App* app) {
    for (CLI::Option* option : app->get_options()) {
        if (option->get_positional()) option->type_name("");
    }
    for (CLI::App* sub : app->get_subcommands([](CLI::App*) { return true; })) {
        hidePositionalTypes(sub);
    }
}

}  // namespace

int main(int argc, char** argv) {
    using namespace kelvo_cli;
    CLI::App app{"Talk to Kelvo Ethernet I/O units on the local network.", "kelvo"};
    // Inherited by every subcommand created after this.
    app.footer(kFooter);
    app.require_subcommand(1);
    app.set_version_flag("--version", versionText, "Show the tool's and the library's version");

    addInfoCommands(app);
    addDioCommands(app);
    addAnalogCommands(app);
    addMemCommands(app);
    addWatchCommand(app);
    hidePositionalTypes(&app);

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        // Help and version requests end here too, with code 0.
        return app.exit(e) == 0 ? kExitOk : kExitUsage;
    } catch (const CliError& e) {
        fmt::print(stderr, "kelvo: {}\n", e.what());
        return e.code();
    } catch (const std::bad_alloc&) {
        fmt::print(stderr, "kelvo: out of memory\n");
        return kExitLocal;
    }
    return kExitOk;
}
