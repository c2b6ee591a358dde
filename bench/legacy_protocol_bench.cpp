// One legacy confirmation, end to end through the protocol object (the
// authentication code, the confirmation code and ECDSA signature, the
// envelope, the attached event, the "Authorization" header, the POST to a
// loopback server, the answer), beside the floor of the transport benchmark
// measured in the same run: the very bytes of such a confirmation posted
// with a bare kept-alive libcurl handle.
//
// BM_LegacyConfirmVsFloor alternates the two request by request in several
// short rounds, and the last lines give the median ratio of the rounds and
// their spread.
//
// Run: scripts/bench, or build/bench/legacy_protocol_bench.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <future>

#include "BareCurl.h"
#include "BenchSupport.h"
#include "Core/Networking/NetSupport.h"

using namespace svsdk;

namespace {

using Clock = std::chrono::steady_clock;

struct Fixture {
    bench::BenchPlatform platform;
    svsdk::testing::LegacyServer server{2};
    svsdk::testing::ScopedLegacyUser signer{svsdk::testing::legacyUser("bench-user", 0x2, server.baseURL())};
    APIInteractorLegacy legacy{server.url(), 2};
    SVTransaction transaction{"tx-1", "bench-user", "system-1", 6, false, SVConfirmationType::online,
                              std::string("Transfer 125.00 EUR to DE89 3704 0044 0532 0130 00, reference 2024-118")};

    // Confirms once and waits; false when the confirmation failed.
    bool confirm() const {
        std::promise<bool> done;
        legacy.confirm(transaction, signer.user(), std::nullopt).observe([&](const SVResult<void>& result) {
            done.set_value(result.ok());
        });
        return done.get_future().get();
    }

    // The bytes and headers of the last confirmation the server received.
    URLRequest lastConfirmation() const {
        auto recorded = server.server.requests().back();
        URLRequest built;
        built.url = server.baseURL() + recorded.path;
        built.httpMethod = "POST";
        for (const char* name : {"Content-Type", "Authorization"})
            if (auto value = recorded.header(name)) built.headers.set(name, *value);
        built.httpBody = Bytes(recorded.body.begin(), recorded.body.end());
        return built;
    }
};

Fixture* fixture = nullptr;

void BM_LegacyConfirm(benchmark::State& state) {
    for (auto _ : state)
        if (!fixture->confirm()) state.SkipWithError("the confirmation failed");
}
BENCHMARK(BM_LegacyConfirm)->UseRealTime();

void BM_LegacyConfirmVsFloor(benchmark::State& state) {
    fixture->confirm();
    bench::BareCurl floor(fixture->lastConfirmation());
    bench::alternateWithFloor(
        state,
        [] { return fixture->confirm() ? std::optional(Clock::now()) : std::nullopt; },
        [&] { return floor.post(); });
}
BENCHMARK(BM_LegacyConfirmVsFloor)->UseRealTime()->MinTime(0.1)->Repetitions(15);

}  // namespace

int main(int argc, char** argv) {
    bench::CollectingReporter reporter;
    if (!bench::runWithFixture(argc, argv, fixture, reporter)) return 1;
    bench::printRatioSpread(reporter, "BM_LegacyConfirmVsFloor", "legacy confirmation / bare kept-alive libcurl");
    return 0;
}
