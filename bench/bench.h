// What every benchmark client shares: the bounded timed loop, the summary of
// repeated figures and the one-line result format that scripts/run-bench
// turns into its table. Portable: the Windows client uses it too.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <vector>

namespace bench {

using Clock = std::chrono::steady_clock;

inline double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Every loop stops after maxOps operations or maxSeconds, whichever comes
// first. The clock is read every checkEvery operations only, so that reading
// it costs next to nothing per exchange (and the same for every client).
struct Bound {
    std::uint64_t maxOps = 10'000'000;
    double maxSeconds = 1.0;
    std::uint64_t checkEvery = 16;
};

struct Run {
    std::uint64_t ops = 0;
    double seconds = 0.0;
    bool ok = true;  // false: an operation failed and ended the loop

    double rate() const { return seconds > 0.0 ? static_cast<double>(ops) / seconds : 0.0; }
};

// Runs step() (one operation; false on failure) until the bound is reached.
template <class Step>
Run timed(Step&& step, const Bound& bound) {
    Run run;
    const Clock::time_point start = Clock::now();
    const std::uint64_t every = bound.checkEvery ? bound.checkEvery : 1;
    for (;;) {
        if (!step()) {
            run.ok = false;
            break;
        }
        ++run.ops;
        if (run.ops % every == 0 || run.ops >= bound.maxOps) {
            if (run.ops >= bound.maxOps || secondsSince(start) >= bound.maxSeconds) break;
        }
    }
    run.seconds = secondsSince(start);
    return run;
}

struct Summary {
    double median = 0.0, min = 0.0, max = 0.0;
};

inline Summary summarize(std::vector<double> values) {
    Summary s;
    if (values.empty()) return s;
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    s.median = n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2.0;
    s.min = values.front();
    s.max = values.back();
    return s;
}

// One result line: "value <label> <metric> <median> <min> <max>", tab-separated.
inline void printValue(const char* label, const char* metric, const Summary& s) {
    std::printf("value\t%s\t%s\t%.6g\t%.6g\t%.6g\n", label, metric, s.median, s.min, s.max);
    std::fflush(stdout);
}

// A figure and its paired ratio to a baseline measured in the same
// repetitions: ratio[i] = figure[i] / baseline[i].
inline std::vector<double> pairedRatios(const std::vector<double>& figure,
                                        const std::vector<double>& baseline) {
    std::vector<double> r;
    for (std::size_t i = 0; i < figure.size() && i < baseline.size(); ++i) {
        r.push_back(baseline[i] > 0.0 ? figure[i] / baseline[i] : 0.0);
    }
    return r;
}

}  // namespace bench
