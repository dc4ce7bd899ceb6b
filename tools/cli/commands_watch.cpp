// watch: poll a unit's inputs and print what changes, for a number of polls or
// until SIGINT (or SIGTERM); optionally every poll as a CSV row.
#include <fmt/format.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "commands.h"
#include "os.h"
#include "unit.h"
#include "values.h"

namespace kelvo_cli {

void os::pause(unsigned ms) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    while (!interrupted()) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) break;
        sleepAtMost(static_cast<unsigned>(left));
    }
}

namespace {

// One poll of every input of the unit.
class InputReader {
  public:
    InputReader(Unit& unit, const KelvoModel& model) : unit_(unit), kind_(model.kind) {
        for (unsigned i = 0; i < model.inputs; ++i) {
            numbers_.push_back(static_cast<std::uint8_t>(i));
        }
    }

    // False when the poll failed because of an interrupt; throws on other failures.
    bool poll(std::vector<std::int32_t>& values) {
        values.assign(numbers_.size(), 0);
        const auto count = static_cast<std::uint32_t>(numbers_.size());
        Status status = KELVO_STATUS_OK;
        if (digital()) {
            std::vector<std::uint8_t> data(numbers_.size(), 0);
            status = Kelvo_MultiReadDIO(unit_.handle(), count, numbers_.data(), data.data());
            std::copy(data.begin(), data.end(), values.begin());
        } else if (kind_ == KELVO_KIND_COUNTER) {
            for (std::size_t i = 0; i < numbers_.size() && status == KELVO_STATUS_OK; ++i) {
                status = Kelvo_ReadCOU(unit_.handle(), numbers_[i], &values[i]);
            }
        } else {
            status = Kelvo_MultiReadAIO(unit_.handle(), count, numbers_.data(), values.data());
        }
        if (status != KELVO_STATUS_OK && os::interrupted()) return false;
        unit_.check(status, "watch");
        return true;
    }

    std::string describe(std::int32_t value) const {
        if (digital()) return byteWithBits(static_cast<std::uint8_t>(value));
        return fmt::format("{}", value);
    }

    const char* noun() const { return digital() ? "port" : "channel"; }
    std::string name(std::size_t i) const { return fmt::format("{} {}", noun(), numbers_[i]); }
    std::string column(std::size_t i) const { return fmt::format("{}{}", noun(), numbers_[i]); }
    std::size_t size() const { return numbers_.size(); }

  private:
    bool digital() const { return kelvo_kind_is_digital(kind_) != 0; }

    Unit& unit_;
    std::uint8_t kind_;
    std::vector<std::uint8_t> numbers_;
};

struct WatchArgs {
    std::string unit;
    std::string csv;
    unsigned count = 0;
    unsigned interval = 500;
};

// The CSV log: a header, then one row per poll with its local time.
class CsvLog {
  public:
    explicit CsvLog(const std::string& path) : path_(path) {
        if (path_.empty()) return;
        file_ = openOutput(path_, "w");
    }
    CsvLog(const CsvLog&) = delete;
    CsvLog& operator=(const CsvLog&) = delete;
    ~CsvLog() {
        if (file_ != nullptr && file_ != stdout) std::fclose(file_);
    }

    bool wanted() const { return file_ != nullptr; }
    void header(const InputReader& reader) {
        std::string line = "time";
        for (std::size_t i = 0; i < reader.size(); ++i) line += "," + reader.column(i);
        put(line);
    }
    void row(const std::string& time, const std::vector<std::int32_t>& values) {
        put(fmt::format("{},{}", time, fmt::join(values, ",")));
    }

  private:
    void put(const std::string& line) {
        if (file_ == nullptr) return;
        if (std::fprintf(file_, "%s\n", line.c_str()) < 0 || std::fflush(file_) != 0) {
            throw CliError(EXIT_LOCAL, fmt::format("cannot write {}", path_));
        }
    }

    std::string path_;
    std::FILE* file_ = nullptr;
};

void runWatch(const WatchArgs& args) {
    const UnitRef ref = parseUnitRef(args.unit);
    CsvLog csv(args.csv);
    Unit unit = Unit::open(ref, Family::ANY, "watch");
    const KelvoModel* model = unit.model();
    if (model == nullptr) unit.refuse("watch", "its model is unknown");
    if (model->inputs == 0) {
        unit.refuse("watch", fmt::format("{} ({}) has no inputs", model->name,
                                         kelvo_kind_name(model->kind)));
    }
    os::catchInterrupts();
    InputReader reader(unit, *model);
    csv.header(reader);
    // The text goes to stdout unless the CSV does.
    const bool text = !(csv.wanted() && args.csv == "-");
    auto& result = session().result;
    result = {{"unit", unit.label()}, {"samples", nlohmann::ordered_json::array()}};
    std::vector<std::int32_t> previous, current;
    for (unsigned n = 0; (args.count == 0 || n < args.count) && !os::interrupted(); ++n) {
        if (n > 0) {
            os::pause(args.interval);
            if (os::interrupted()) break;
        }
        if (!reader.poll(current)) break;
        const std::string time = os::clockTime();
        if (csv.wanted() || session().json) {
            const std::string iso = os::isoTime();
            csv.row(iso, current);
            nlohmann::ordered_json values = nlohmann::ordered_json::object();
            for (std::size_t i = 0; i < current.size(); ++i) values[reader.column(i)] = current[i];
            result["samples"].push_back({{"time", iso}, {"values", values}});
        }
        for (std::size_t i = 0; i < current.size() && text; ++i) {
            if (previous.empty()) {
                say("{} {}: {}\n", time, reader.name(i), reader.describe(current[i]));
            } else if (previous[i] != current[i]) {
                say("{} {}: {} -> {}\n", time, reader.name(i), reader.describe(previous[i]),
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
    watch
        ->add_option("--csv", args->csv,
                     "Also write every poll as a CSV row to this file ('-': stdout, instead of "
                     "the text): local time, then one column per input")
        ->type_name("FILE");
    watch->callback([args] { runWatch(*args); });
}

}  // namespace kelvo_cli
