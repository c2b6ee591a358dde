#pragma once
// Shared by the benchmarks: an isolated data folder, and a reporter that
// keeps each benchmark's times and counters for the ratio lines printed at
// the end.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <svsdk/SVPlatformConfiguration.h>

#include "Core/Concurrency/Future.h"

namespace svsdk::bench {

// A data folder (key store, defaults) made below `base` and configured as
// the platform's, removed at exit.
struct BenchPlatform {
    std::string dir;
    explicit BenchPlatform(const std::string& base = "/tmp") {
        std::string pattern = base + "/svsdk-bench-XXXXXX";
        if (!mkdtemp(pattern.data())) std::abort();
        dir = pattern;
        SVPlatformConfiguration config;
        config.dataDirectory = dir + "/data";
        config.keychainPath = dir + "/data/keychain.sqlite";
        config.defaultsPath = dir + "/data/defaults.json";
        config.mainBundleIdentifier = "org.svsdk.bench";
        config.vendorIdentifier = "00000000-0000-4000-8000-000000000001";
        config.ntpServerHost = "";
        SVPlatform::configure(config);
    }
    ~BenchPlatform() {
        std::error_code ignored;
        std::filesystem::remove_all(dir, ignored);
    }
    BenchPlatform(const BenchPlatform&) = delete;
    BenchPlatform& operator=(const BenchPlatform&) = delete;
};

// Shows the usual table and keeps each benchmark's CPU and wall time per
// iteration, and the value of each counter in every repetition (keyed by the
// benchmark's function name, a colon and the counter's name).
class CollectingReporter : public benchmark::ConsoleReporter {
public:
    CollectingReporter() : ConsoleReporter(isatty(fileno(stdout)) ? OO_Defaults : OO_Tabular) {}
    std::map<std::string, double> cpuTime;
    std::map<std::string, double> realTime;
    std::map<std::string, std::vector<double>> counters;
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const auto& run : runs)
            if (run.run_type == Run::RT_Iteration && run.iterations > 0 && !run.error_occurred) {
                cpuTime[run.benchmark_name()] = run.GetAdjustedCPUTime();
                realTime[run.benchmark_name()] = run.GetAdjustedRealTime();
                for (const auto& [name, counter] : run.counters)
                    counters[run.run_name.function_name + ":" + name].push_back(counter.value);
            }
    }
};

// Runs the benchmarks chosen on the command line with one `Fixture` set up
// for all of them (reachable through `slot` while they run), collecting their
// timings in `reporter`; false when the command line has unknown arguments.
template <class Fixture>
bool runWithFixture(int argc, char** argv, Fixture*& slot, CollectingReporter& reporter) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return false;
    Fixture setup;
    slot = &setup;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    slot = nullptr;
    return true;
}

// Prints "ratio <label> = <x>" from two timings of one run, with the target
// when one is given (> 0); prints nothing when either timing is missing.
inline void printRatio(const std::map<std::string, double>& times, const std::string& label, const char* measured,
                       const char* floor, double target = 0) {
    auto m = times.find(measured);
    auto f = times.find(floor);
    if (m == times.end() || f == times.end() || f->second <= 0) return;
    std::printf("ratio %s = %.2f", label.c_str(), m->second / f->second);
    if (target > 0) std::printf(" (target at most %.1f)", target);
    std::printf("\n");
}

// Runs `ours` and `floor` once each per iteration, alternating which goes
// first so neither always runs on a warmer cache, and sets the counters
// "sdk_ns", "floor_ns" and "ratio". `ours` returns the moment its work
// completed (none on failure); `floor` returns whether it succeeded.
template <class Ours, class Floor>
void alternateWithFloor(benchmark::State& state, Ours ours, Floor floor) {
    using Clock = std::chrono::steady_clock;
    Clock::duration oursTotal{}, floorTotal{};
    bool oursFirst = false;
    for (auto _ : state) {
        oursFirst = !oursFirst;
        for (int step = 0; step < 2; ++step) {
            auto start = Clock::now();
            if ((step == 0) == oursFirst) {
                std::optional<Clock::time_point> completed = ours();
                if (!completed) state.SkipWithError("a request failed");
                oursTotal += completed.value_or(start) - start;
            } else {
                if (!floor()) state.SkipWithError("a request failed");
                floorTotal += Clock::now() - start;
            }
        }
    }
    double n = static_cast<double>(std::max<benchmark::IterationCount>(state.iterations(), 1));
    double oursNs = std::chrono::duration<double, std::nano>(oursTotal).count() / n;
    double floorNs = std::chrono::duration<double, std::nano>(floorTotal).count() / n;
    state.counters["sdk_ns"] = oursNs;
    state.counters["floor_ns"] = floorNs;
    state.counters["ratio"] = floorNs > 0 ? oursNs / floorNs : 0;
}

// Waits on the calling thread for `future` to settle. On success, the moment
// its observer ran (on the settling thread): the caller's own wake-up
// afterwards is not counted.
template <class T>
std::optional<std::chrono::steady_clock::time_point> settledAt(const Future<T>& future) {
    std::mutex lock;
    std::condition_variable settled;
    std::optional<bool> ok;
    std::chrono::steady_clock::time_point moment;
    future.observe([&](const SVResult<T>& result) {
        auto now = std::chrono::steady_clock::now();
        std::lock_guard guard(lock);
        moment = now;
        ok = result.ok();
        settled.notify_one();
    });
    std::unique_lock guard(lock);
    settled.wait(guard, [&] { return ok.has_value(); });
    if (!*ok) return std::nullopt;
    return moment;
}

// The median of some values, and how far they spread.
struct Spread {
    double median, lowest, lowerQuartile, upperQuartile, highest;
    std::size_t count;
};
inline std::optional<Spread> spreadOf(std::vector<double> values) {
    if (values.empty()) return std::nullopt;
    std::sort(values.begin(), values.end());
    auto at = [&](double fraction) {
        double position = fraction * static_cast<double>(values.size() - 1);
        auto below = static_cast<std::size_t>(position);
        std::size_t above = std::min(below + 1, values.size() - 1);
        return values[below] + (values[above] - values[below]) * (position - static_cast<double>(below));
    };
    return Spread{at(0.5), values.front(), at(0.25), at(0.75), values.back(), values.size()};
}

// Prints how the "ratio" counter of `benchmark` spread over its rounds and
// its median, as "ratio <label>, median of N rounds: R.RRx<suffix>".
inline void printRatioSpread(CollectingReporter& reporter, const std::string& benchmark, const char* label,
                             const char* suffix = "") {
    auto ratio = spreadOf(reporter.counters[benchmark + ":ratio"]);
    if (!ratio) return;
    std::printf("spread of the ratio over %zu rounds: lowest %.2fx, quartiles %.2fx to %.2fx, highest %.2fx\n",
                ratio->count, ratio->lowest, ratio->lowerQuartile, ratio->upperQuartile, ratio->highest);
    std::printf("ratio %s, median of %zu rounds: %.2fx%s\n", label, ratio->count, ratio->median, suffix);
}

}  // namespace svsdk::bench
