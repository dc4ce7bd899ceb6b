// watch: poll a unit's inputs and print what changes, for a number of polls or
// until SIGINT (or SIGTERM).
#include <fmt/format.h>
#include <poll.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "commands.h"
#include "unit.h"
#include "values.h"

namespace kelvo_cli {

namespace {

volatile std::sig_atomic_t gInterrupted = 0;

extern "C" void onInterrupt(int) {
    gInterrupted = 1;
}

// Without SA_RESTART, so that a signal also cuts a sleep short.
void catchInterrupts() {
    struct sigaction action {};
    action.sa_handler = onInterrupt;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

// Sleeps for ms, or less when a signal arrives: poll() without descriptors
// returns early with EINTR.
void pause(unsigned ms) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    while (!gInterrupted) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) break;
        poll(nullptr, 0, static_cast<int>(left));
    }
}

std::string timestamp() {
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() %
        1000;
    std::tm local{};
    localtime_r(&seconds, &local);
    return fmt::format("{:02}:{:02}:{:02}.{:03}", local.tm_hour, local.tm_min, local.tm_sec, ms);
}

// One poll of every input of the unit.
class InputReader {
  public:
    InputReader(Unit& unit, const ModelShape& shape) : unit_(unit), kind_(shape.kind) {
        for (unsigned i = 0; i < shape.inputs; ++i)
            numbers_.push_back(static_cast<std::uint8_t>(i));
    }

    // False when the poll failed because of an interrupt; throws on other failures.
    bool poll(std::vector<std::int32_t>& values) {
        values.assign(numbers_.size(), 0);
        const auto count = static_cast<std::uint32_t>(numbers_.size());
        Status status = KELVO_STATUS_OK;
        switch (kind_) {
            case UnitKind::kDigital: {
                std::vector<std::uint8_t> data(numbers_.size(), 0);
                status = Kelvo_MultiReadDIO(unit_.handle(), count, numbers_.data(), data.data());
                std::copy(data.begin(), data.end(), values.begin());
                break;
            }
            case UnitKind::kAnalogIn:
            case UnitKind::kAnalogOut:
                status = Kelvo_MultiReadAIO(unit_.handle(), count, numbers_.data(), values.data());
                break;
            case UnitKind::kCounter:
                for (std::size_t i = 0; i < numbers_.size() && status == KELVO_STATUS_OK; ++i) {
                    status = Kelvo_ReadCOU(unit_.handle(), numbers_[i], &values[i]);
                }
                break;
        }
        if (status != KELVO_STATUS_OK && gInterrupted) return false;
        unit_.check(status, "watch");
        return true;
    }

    std::string describe(std::int32_t value) const {
        if (kind_ == UnitKind::kDigital) {
            return byteWithBits(static_cast<std::uint8_t>(value));
        }
        return fmt::format("{}", value);
    }

    std::string name(std::size_t i) const {
        return fmt::format("{} {}", kind_ == UnitKind::kDigital ? "port" : "channel", numbers_[i]);
    }

  private:
    Unit& unit_;
    UnitKind kind_;
    std::vector<std::uint8_t> numbers_;
};

struct WatchArgs {
    std::string unit;
    unsigned count = 0;
    unsigned interval = 500;
};

void runWatch(const WatchArgs& args) {
    const UnitRef ref = parseUnitRef(args.unit);
    Unit unit = Unit::open(ref);
    const ModelShape* shape = unit.shape();
    if (shape == nullptr) {
        throw CliError(kExitBadChannel,
                       fmt::format("cannot watch {}: its model is unknown", unit.label()));
    }
    if (shape->inputs == 0) {
        throw CliError(kExitBadChannel,
                       fmt::format("cannot watch {}: {} has no inputs", unit.label(), shape->name));
    }
    catchInterrupts();
    InputReader reader(unit, *shape);
    std::vector<std::int32_t> previous, current;
    for (unsigned n = 0; (args.count == 0 || n < args.count) && !gInterrupted; ++n) {
        if (n > 0) {
            pause(args.interval);
            if (gInterrupted) break;
        }
        if (!reader.poll(current)) break;
        const std::string time = timestamp();
        for (std::size_t i = 0; i < current.size(); ++i) {
            if (previous.empty()) {
                fmt::print("{} {}: {}\n", time, reader.name(i), reader.describe(current[i]));
            } else if (previous[i] != current[i]) {
                fmt::print("{} {}: {} -> {}\n", time, reader.name(i), reader.describe(previous[i]),
                           reader.describe(current[i]));
            }
        }
        std::fflush(stdout);
        previous = current;
    }
}

}  // namespace

void addWatchCommand(CLI::App& app) {
    auto args = std::make_shared<WatchArgs>();
    CLI::App* watch = app.add_subcommand(
        "watch", "Poll a unit's inputs and print their values, then every change");
    addUnitArgument(watch, args->unit);
    watch
        ->add_option("-c,--count", args->count,
                     "Number of polls, the first included; 0 polls until SIGINT")
        ->type_name("N")
        ->capture_default_str();
    watch->add_option("-i,--interval", args->interval, "Milliseconds between polls")
        ->type_name("MS")
        ->check(CLI::Range(10u, 3600000u))
        ->capture_default_str();
    watch->callback([args] { runWatch(*args); });
}

}  // namespace kelvo_cli
