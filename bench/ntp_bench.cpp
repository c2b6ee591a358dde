// Time synchronisation: how close a run comes to a server whose clock is an
// hour ahead, and what a packet costs.
//
// BM_RunOffsetError makes one run (one address, four requests) per
// repetition against a chronyd started under libfaketime at +3600 s, and
// counts the reported offset minus the shift in microseconds; the last lines
// give the median and spread over the repetitions. BM_EncodeDecode encodes a
// client request and decodes a reply; its floor BM_Floor_Memcpy48 copies the
// same 48 bytes, and the ratio of the two is printed at the end.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <optional>
#include <vector>

#include "BenchSupport.h"
#include "Core/Time/NTPClient.h"
#include "Core/Time/NTPPacket.h"
#include "support/ChronyServer.h"
#include "support/ProgressRecorder.h"

using namespace svsdk;

namespace {

constexpr double kShift = 3600;

struct Fixture {
    bench::BenchPlatform platform;
    testing::ChronyServer chrony{kShift};
};
Fixture* fixture = nullptr;

void BM_RunOffsetError(benchmark::State& state) {
    std::optional<double> last;
    for (auto _ : state) {
        testing::ProgressRecorder recorder;
        NTPClient::query("127.0.0.1", fixture->chrony.port(), 3, 2.0, 4, 1, recorder.handler());
        auto reports = recorder.waitFor(4, 10);
        last = reports.size() == 4 ? reports.back().offset : std::nullopt;
        if (!last) state.SkipWithError("the run reported no offset");
    }
    if (last) state.counters["error_us"] = (*last - kShift) * 1e6;
}
BENCHMARK(BM_RunOffsetError)->Iterations(1)->Repetitions(20)->ReportAggregatesOnly(false)->UseRealTime();

void BM_EncodeDecode(benchmark::State& state) {
    NTPPacket request(3, NTPPacket::Mode::client);
    double t = 1'700'000'000.123456;
    for (auto _ : state) {
        auto bytes = request.data(t);
        NTPPacket reply(*bytes, t);
        benchmark::DoNotOptimize(reply.transmitTime);
    }
}
BENCHMARK(BM_EncodeDecode);

void BM_Floor_Memcpy48(benchmark::State& state) {
    unsigned char from[48] = {0x1B}, to[48];
    for (auto _ : state) {
        benchmark::DoNotOptimize(from);
        std::memcpy(to, from, sizeof to);
        benchmark::DoNotOptimize(to);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_Floor_Memcpy48);

}  // namespace

int main(int argc, char** argv) {
    bench::CollectingReporter reporter;
    if (!bench::runWithFixture(argc, argv, fixture, reporter)) return 1;
    if (auto error = bench::spreadOf(reporter.counters["BM_RunOffsetError:error_us"])) {
        std::printf("offset error against chronyd at +%.0f s over %zu runs (measured minus shift): median %.0f us,"
                    " lowest %.0f us, quartiles %.0f to %.0f us, highest %.0f us\n",
                    kShift, error->count, error->median, error->lowest, error->lowerQuartile, error->upperQuartile,
                    error->highest);
    }
    bench::printRatio(reporter.cpuTime, "encode+decode / memcpy of 48 bytes", "BM_EncodeDecode", "BM_Floor_Memcpy48");
    return 0;
}
