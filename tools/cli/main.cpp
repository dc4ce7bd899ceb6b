// kelvo: command-line tool for Kelvo Ethernet I/O units, built on the public
// API of the library like any other application.
#include <fmt/format.h>

#include <CLI/CLI.hpp>
#include <algorithm>
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

using namespace kelvo_cli;

constexpr const char* FOOTER =
    R"(UNIT is MODEL:ID (KV-103:1, or 3:1 with the numeric model code) or the unit's
IPv4 address. Numbers are decimal or 0x hex. Every command that takes a UNIT,
and list, first finds the units: by broadcast, or with --address and
--device-list only at the addresses given (no broadcast); a UNIT given as an
address is looked for there only.

Exit codes:
  0  success
  1  usage error: unknown command or option, missing argument, not a number
  2  unit not found, could not connect, or not open
  3  communication error: the unit did not answer
  4  refused: port, channel, value, setting or unit kind out of range
  5  local failure: a file could not be read or written, out of memory

See kelvo(1) for every command, kelvo-sim(1) for the simulator and
kelvo-gateway(8) for the MQTT gateway.)";

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

std::size_t editDistance(std::string_view a, std::string_view b) {
    std::vector<std::size_t> row(b.size() + 1);
    for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
    for (std::size_t i = 1; i <= a.size(); ++i) {
        std::size_t diagonal = row[0];
        row[0] = i;
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const std::size_t up = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] != b[j - 1])});
            diagonal = up;
        }
    }
    return row[b.size()];
}

// The nearest of the candidates, if it is near enough to be meant.
std::optional<std::string> nearest(std::string_view word, const std::vector<std::string>& names) {
    std::optional<std::string> best;
    std::size_t bestDistance = std::max<std::size_t>(2, word.size() / 3) + 1;
    for (const std::string& name : names) {
        const std::size_t d = editDistance(word, name);
        if (d < bestDistance) {
            bestDistance = d;
            best = name;
        }
    }
    return best;
}

std::vector<std::string> commandNames(CLI::App* app) {
    std::vector<std::string> names;
    // Option groups are nameless subcommands of the parser.
    for (CLI::App* sub : app->get_subcommands([](CLI::App*) { return true; })) {
        if (!sub->get_name().empty()) names.push_back(sub->get_name());
    }
    return names;
}

std::vector<std::string> optionNames(CLI::App* app) {
    std::vector<std::string> names;
    for (CLI::App* a = app; a != nullptr; a = a->get_parent()) {
        for (const CLI::Option* option : a->get_options()) {
            for (const std::string& name : option->get_lnames()) names.push_back("--" + name);
        }
    }
    return names;
}

// Walks the words as the parser will and names the first that is no command
// where a command must come, or no long option of the command it follows,
// with a suggestion. Everything else is left to the parser.
void checkWords(CLI::App& app, const std::vector<std::string>& args) {
    CLI::App* command = &app;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& word = args[i];
        if (word == "--") return;
        if (word.starts_with("-")) {
            const std::string name = word.substr(0, word.find('='));
            if (name.starts_with("--") && name != "--help" && name != "--version") {
                bool known = false;
                const CLI::Option* option = nullptr;
                for (CLI::App* a = command; a != nullptr && !known; a = a->get_parent()) {
                    option = a->get_option_no_throw(name);
                    known = option != nullptr;
                }
                if (!known) {
                    const auto guess = nearest(name, optionNames(command));
                    throw CliError(EXIT_USAGE,
                                   fmt::format("unknown option '{}'{}", name,
                                               guess ? fmt::format("; did you mean '{}'?", *guess)
                                                     : std::string()));
                }
                // Skip an option's value given as a separate word.
                if (option->get_type_size() > 0 && option->get_expected_max() > 0 &&
                    word.find('=') == std::string::npos && !option->get_positional()) {
                    ++i;
                }
            }
            continue;
        }
        const auto names = commandNames(command);
        if (names.empty()) continue;  // a positional
        if (std::find(names.begin(), names.end(), word) == names.end()) {
            const auto guess = nearest(word, names);
            throw CliError(
                EXIT_USAGE,
                fmt::format("unknown command '{}'{}", word,
                            guess ? fmt::format("; did you mean '{}'?", *guess)
                                  : fmt::format(" (commands: {})", fmt::join(names, ", "))));
        }
        command = command->get_subcommand(word);
    }
}

int fail(const std::string& message, int code) {
    fmt::print(stderr, "kelvo: {}\n", message);
    if (session().json) {
        nlohmann::ordered_json error = {{"error", message}, {"exit_code", code}};
        fmt::print("{}\n", error.dump());
    }
    return code;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"Talk to Kelvo Ethernet I/O units on the local network.", "kelvo"};
    // Inherited by every subcommand created after this.
    app.footer(FOOTER);
    app.require_subcommand(1);
    app.fallthrough();
    app.set_version_flag("--version", versionText, "Show the tool's and the library's version");
    Session& s = session();
    app.add_option("--address", s.addresses,
                   "Find the unit at this IPv4 address without a broadcast (repeatable)")
        ->type_name("IP");
    app.add_option("--device-list", s.deviceList,
                   "Find the units at the addresses of this device-list file (name,model,unit "
                   "ID,address,... per line) without a broadcast")
        ->type_name("FILE");
    app.add_flag("--json", s.json, "Print one JSON document on stdout (keys in cli/README.md)");

    addInfoCommands(app);
    addDioCommands(app);
    addAnalogCommands(app);
    addMemCommands(app);
    addWatchCommand(app);
    hidePositionalTypes(&app);

    try {
        const std::vector<std::string> args(argv + 1, argv + argc);
        // --json is looked for first, so that even a usage error comes as JSON.
        s.json = std::find(args.begin(), args.end(), "--json") != args.end();
        checkWords(app, args);
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion& e) {
        return app.exit(e);
    } catch (const CLI::ValidationError& e) {
        return fail(e.what(), EXIT_REFUSED);
    } catch (const CLI::ParseError& e) {
        return fail(e.what(), EXIT_USAGE);
    } catch (const CliError& e) {
        return fail(e.what(), e.code());
    } catch (const std::bad_alloc&) {
        return fail("out of memory", EXIT_LOCAL);
    }
    if (s.json) fmt::print("{}\n", s.result.dump(2));
    return EXIT_OK;
}
