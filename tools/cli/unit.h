// Everything the commands share about a unit: the exit codes, the options
// every command takes, the UNIT argument, finding units (by broadcast or at
// given addresses), opening one through the library with its kind checked
// against the public model table, and turning a library status into a
// message and an exit code.
#pragma once

#include <fmt/format.h>

#include <cstdint>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "kelvo.h"
#include "kelvo_models.h"

namespace kelvo_cli {

// Exit codes of the tool, the same for alike cases in every command; listed
// in --help and cli/README.md.
enum ExitCode : int {
    EXIT_OK = 0,
    EXIT_USAGE = 1,      // malformed command line: unknown word, missing argument, not a number
    EXIT_NOT_FOUND = 2,  // unit not found, could not connect, not open
    EXIT_COMM = 3,       // the unit did not answer
    EXIT_REFUSED = 4,    // port, channel, value, setting or unit kind out of range
    EXIT_LOCAL = 5,      // file, memory or other local failure
};

// Thrown by the commands; main() prints the message and exits with the code.
class CliError : public std::runtime_error {
  public:
    CliError(ExitCode code, const std::string& message)
        : std::runtime_error(message), code_(code) {}
    ExitCode code() const { return code_; }

  private:
    ExitCode code_;
};

// The options every command takes, and the --json document being built.
struct Session {
    std::vector<std::string> addresses;  // --address
    std::string deviceList;              // --device-list
    bool json = false;
    nlohmann::ordered_json result = nlohmann::ordered_json::object();

    bool direct() const { return !addresses.empty() || !deviceList.empty(); }
};
Session& session();

// Prints text unless --json is given.
template <class... T>
void say(fmt::format_string<T...> format, T&&... args) {
    if (!session().json) fmt::print(format, std::forward<T>(args)...);
}

// The 16-bit status of the I/O, configuration and sampling calls.
using Status = std::uint16_t;

// The public model table's row for a code, or nullptr.
inline const KelvoModel* findModel(unsigned code) {
    return kelvo_model(code);
}

// "KV-103" (any case) or a number 0..255 (decimal or 0x hex) to a model code.
std::optional<unsigned> parseModel(std::string_view text);

// The UNIT argument: MODEL:ID or an IPv4 address.
struct UnitRef {
    std::string text;  // as given, for messages
    std::string ip;    // set for an address
    unsigned model = 0;
    unsigned id = 0;
    bool byAddress() const { return !ip.empty(); }
};

// Throws CliError for text that is neither form.
UnitRef parseUnitRef(std::string_view text);
// A dotted IPv4 address, four numbers 0..255.
bool isIPv4(std::string_view text);

// "KV-103:1", or "model 23:1" for a code without a name.
std::string unitName(unsigned model, unsigned id);

// Finds the units: Kelvo_Initial by broadcast, or (with --address or
// --device-list) only the units that answer at the given addresses, without
// a broadcast. Returns the unit count.
int discover();

// The units the last discovery found, in list order.
std::vector<KelvoDeviceSummary> browse();

// With --address or --device-list: "no unit answered at A, B" for the
// addresses where no unit answered, or "" when every one did.
std::string silentText();

// The address of a listed unit, when the tool knows it (direct addressing).
std::optional<std::string> knownAddress(unsigned model, unsigned id);

// The model name of a summary ("KV-103"), or "" for an unknown model.
std::string summaryName(const KelvoDeviceSummary& summary);

// The fields the Python binding names a unit summary by.
nlohmann::ordered_json summaryJson(const KelvoDeviceSummary& summary);

// Which count limits a port or channel number in an operation.
enum class Limit { INPUTS, OUTPUTS, TOTAL };

// Which units a command works on.
enum class Family { ANY, DIGITAL, ANALOG, COUNTER };

// An open unit. Closes its connection when destroyed.
class Unit {
  public:
    // Discovers the units, then opens the one named by ref and checks that
    // its model is of the family. Throws CliError: EXIT_NOT_FOUND when it is
    // not there or the connection fails, EXIT_REFUSED for the wrong kind.
    // A unit named by model is checked before any search.
    static Unit open(const UnitRef& ref, Family family, std::string_view action);

    Unit(Unit&& other) noexcept;
    Unit(const Unit&) = delete;
    Unit& operator=(const Unit&) = delete;
    Unit& operator=(Unit&&) = delete;
    ~Unit();

    KELVO_HANDLE handle() const { return handle_; }
    // How messages name the unit: "KV-103:1" or "127.0.0.3".
    const std::string& label() const { return label_; }

    // The unit's entry in the browse list, if it can be told. A unit opened by
    // address is matched to its entry on first use (see identify()).
    const std::optional<KelvoDeviceSummary>& summary();
    // The unit's row of the model table, or nullptr for an unknown model.
    const KelvoModel* model();

    // Throws CliError for any status but OK. badChannel, when given, builds
    // the message for KELVO_STATUS_BAD_CHANNEL (an empty result falls back to
    // the generic one); it runs only on that status.
    void check(Status status, std::string_view action,
               const std::function<std::string()>& badChannel = nullptr) const;
    // A refusal of the tool's own: "ACTION on UNIT: MESSAGE", EXIT_REFUSED.
    [[noreturn]] void refuse(std::string_view action, const std::string& message) const;

    // "channel 7 out of range for KV-110 (4 output channels)".
    std::string rangeMessage(std::string_view noun, unsigned number, Limit limit);
    // Refuses the first of numbers that the model does not have, if the
    // model is known.
    void checkRange(std::span<const std::uint8_t> numbers, Limit limit, std::string_view noun,
                    std::string_view action);
    // The number of positions of the given limit; throws when the model is unknown.
    unsigned count(Limit limit, std::string_view what);
    // Refuses a value that does not fit the model's bits: low..high, where
    // high = 2^bits - 1 and low = -2^(bits-1) when negative values are allowed.
    void checkValue(std::int64_t value, bool signedValues, std::string_view action);

  private:
    Unit(KELVO_HANDLE handle, std::string label, std::optional<KelvoDeviceSummary> summary,
         bool identified);
    void identify();

    KELVO_HANDLE handle_;
    std::string label_;
    std::optional<KelvoDeviceSummary> summary_;
    bool identified_;
};

// Refuses a model of the wrong kind for the family, naming its kind.
void checkKind(const KelvoModel& model, const std::string& label, Family family,
               std::string_view action);

// A message for a status code ("unit did not answer") and the exit code for it.
std::string statusText(Status status);
ExitCode statusExit(Status status);

}  // namespace kelvo_cli
