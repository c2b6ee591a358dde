#pragma once
// Shared by the benchmarks: an isolated data folder, and a reporter that
// keeps each benchmark's times for the ratio lines printed at the end.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include <svsdk/SVPlatformConfiguration.h>

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

// Shows the usual table and keeps each benchmark's CPU and wall time per iteration.
class CollectingReporter : public benchmark::ConsoleReporter {
public:
    CollectingReporter() : ConsoleReporter(isatty(fileno(stdout)) ? OO_Defaults : OO_Tabular) {}
    std::map<std::string, double> cpuTime;
    std::map<std::string, double> realTime;
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const auto& run : runs)
            if (run.run_type == Run::RT_Iteration && run.iterations > 0) {
                cpuTime[run.benchmark_name()] = run.GetAdjustedCPUTime();
                realTime[run.benchmark_name()] = run.GetAdjustedRealTime();
            }
    }
};

}  // namespace svsdk::bench
