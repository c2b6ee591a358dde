// One collection of device data with every bit set (events, device, SIM,
// location) and a location provider that answers at once, beside its floor:
// encoding the same device information with nlohmann-json alone. Prints the
// ratio at the end.
//
// Run: scripts/bench, or build/bench/devicedata_bench.
#include <benchmark/benchmark.h>

#include <future>
#include <memory>
#include <string>

#include <svsdk/SVPlatformConfiguration.h>

#include "BenchSupport.h"
#include "Core/DeviceData/Analytics.h"

using namespace svsdk;

namespace {

struct ImmediateProvider : SVLocationProvider {
    SVLocationAuthorization authorizationStatus() override { return SVLocationAuthorization::authorizedAlways; }
    void requestLocation(std::function<void(std::optional<SVLocationFix>)> completion) override {
        completion(SVLocationFix{52.520008, 13.404954, 34, 65, 10, 1700000000});
    }
};

struct Fixture {
    bench::BenchPlatform platform;
    DeviceInfo collected;

    Fixture() {
        auto config = SVPlatform::configuration();
        config.appInfo = {"Bench", "2.4.1", "241"};
        config.locationProvider = std::make_shared<ImmediateProvider>();
        config.carrierProvider = [] { return std::vector<SVCarrier>{{"Carrier A", "310", "us"}, {"B", "234", "gb"}}; };
        config.wifiProvider = [] { return SVWifiNetwork{"Office", "192.168.1.20"}; };
        config.screenProvider = [] { return SVScreen{375, 812, 3}; };
        config.userAgentProvider = [] { return std::string("Mozilla/5.0 (X11; Linux x86_64) Bench/1.0"); };
        SVPlatform::configure(config);
        WifiInfo::loadUserAgent();
        collected = *collect().deviceInfo;
    }

    static Analytics::CollectedData collect() {
        std::promise<Analytics::CollectedData> done;
        Analytics::collect(UserFlags(0x1E)).observe(
            [&done](const SVResult<Analytics::CollectedData>& result) { done.set_value(result.value()); });
        return done.get_future().get();
    }
};

Fixture* fixture = nullptr;

void Collection(benchmark::State& state) {
    for (auto _ : state) {
        auto data = Fixture::collect();
        benchmark::DoNotOptimize(data);
    }
}

// The floor: the same device information written as JSON text.
void EncodingFloor(benchmark::State& state) {
    for (auto _ : state) {
        nlohmann::ordered_json json = fixture->collected;
        std::string text = json.dump();
        benchmark::DoNotOptimize(text);
    }
}

BENCHMARK(Collection)->UseRealTime();
BENCHMARK(EncodingFloor)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    bench::CollectingReporter reporter;
    if (!bench::runWithFixture(argc, argv, fixture, reporter)) return 1;
    // Wall time: the location step waits on the main queue's thread.
    bench::printRatio(reporter.realTime, "collection/encoding", "Collection/real_time", "EncodingFloor/real_time", 3.0);
    return 0;
}
