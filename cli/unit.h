// Everything the commands share about a unit: the UNIT argument, the model
// shapes used to explain refusals, opening a unit through the library, and
// turning a library status into a message and an exit code.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "kelvo.h"

namespace kelvo_cli {

// Exit codes of the tool; listed in the top-level --help.
enum ExitCode : int {
    kExitOk = 0,
    kExitUsage = 1,       // bad command line
    kExitNotFound = 2,    // unit not found, cannot connect, not open
    kExitComm = 3,        // the unit did not answer
    kExitBadChannel = 4,  // port, channel or setting refused
    kExitLocal = 5,       // file, memory or other local failure
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

// Where the library's status codes come from: the 16-bit status of the I/O,
// configuration and sampling calls.
using Status = std::uint16_t;

enum class UnitKind { kDigital, kAnalogIn, kAnalogOut, kCounter };

// The published shape of a model. The library reports only `total` and `bits`
// per unit; the input/output split is needed to say why a port was refused and
// to pick the channels for --all and watch. The library stays the judge of
// every port and channel: the tool only explains its refusals.
struct ModelShape {
    std::uint8_t code;
    const char* name;
    std::uint8_t total;
    std::uint8_t inputs;
    std::uint8_t outputs;
    std::uint8_t bits;
    UnitKind kind;
};

// The shape of a model code, or nullptr for a code that names no model.
const ModelShape* findModel(unsigned code);

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

// Throws CliError(kExitUsage) for text that is neither form.
UnitRef parseUnitRef(std::string_view text);

// "KV-103:1", or "model 23:1" for a code without a name.
std::string unitName(unsigned model, unsigned id);

// Runs Kelvo_Initial with a progress note on stderr; returns the unit count.
int discover();

// The units the last discovery found, in list order.
std::vector<KelvoDeviceSummary> browse();

// The model name of a summary ("KV-103"), or "" for an unknown model.
std::string summaryName(const KelvoDeviceSummary& summary);

// Which count limits a port or channel number in an operation.
enum class Limit { kInputs, kOutputs, kTotal };

// An open unit. Closes its connection when destroyed.
class Unit {
  public:
    // Discovers the units, then opens the one named by ref. Throws CliError
    // (kExitNotFound) when it is not there or the connection fails.
    static Unit open(const UnitRef& ref);

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
    // The unit's model shape, or nullptr for an unknown model.
    const ModelShape* shape();

    // Throws CliError for any status but OK. badChannel, when given, builds
    // the message for KELVO_STATUS_BAD_CHANNEL (an empty result falls back to
    // the generic one); it runs only on that status.
    void check(Status status, std::string_view action,
               const std::function<std::string()>& badChannel = nullptr) const;

    // "channel 7 out of range for KV-110 (4 output channels)".
    std::string rangeMessage(std::string_view noun, unsigned number, Limit limit);
    // The first of numbers that the model refuses, if the model is known.
    std::optional<unsigned> firstOutOfRange(std::span<const std::uint8_t> numbers, Limit limit);
    // The number of positions of the given limit; throws when the model is unknown.
    unsigned count(Limit limit, std::string_view what);

  private:
    Unit(KELVO_HANDLE handle, std::string label, std::optional<KelvoDeviceSummary> summary,
         bool identified);
    void identify();

    KELVO_HANDLE handle_;
    std::string label_;
    std::optional<KelvoDeviceSummary> summary_;
    bool identified_;
};

// A message for a status code ("unit did not answer") and the exit code for it.
std::string statusText(Status status);
ExitCode statusExit(Status status);

}  // namespace kelvo_cli
