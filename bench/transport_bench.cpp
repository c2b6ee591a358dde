// Signing and sending one request to a loopback server, beside its floor in
// the same run: the same bytes posted with a bare libcurl handle on a
// kept-alive connection, synchronously on the calling thread.
//
// BM_SignAndSend and BM_Floor_BareCurlKeptAlive measure each path alone.
// BM_SignAndSendVsFloor alternates the two request by request, so that both
// see the same machine load, and gives their ratio (target: at most 1.5). The
// ratio of one round depends on where the scheduler puts the threads: the
// floor runs on the calling thread, often on the loopback server's CPU, while
// the SDK's request always crosses to its network thread and back. So the
// comparison runs in several short rounds, and the last lines give the median
// ratio of the rounds and their spread. BM_SignAndSend_Chained shows the cost
// per request when each completion sends the next one, as the steps of one
// operation do on the network thread.
#include <benchmark/benchmark.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "BareCurl.h"
#include "BenchSupport.h"
#include "Core/Networking/Request.h"
#include "support/LoopbackServer.h"

using namespace svsdk;
using svsdk::testing::LoopbackServer;
using svsdk::testing::ScriptedAnswer;

namespace {

// A confirmation-sized body: codes, a signature and an event.
struct BenchBody {};
void to_json(nlohmann::ordered_json& json, const BenchBody&) {
    json["confirm_code"] = std::string(64, 'a');
    json["signature"] = std::string(144, 'b');
    json["event"] = {{"device_event_id", "6F9619FF-8B86-D011-B42D-00C04FC964FF"},
                     {"session_id", "A1B2C3D4-0000-1111-2222-333344445555"},
                     {"device_time", 1767225600000}};
}

LoopbackServer& server() {
    static LoopbackServer* instance = [] {
        auto s = new LoopbackServer();
        s->answer("POST", "/SYS/users/U1/transactions/T1/confirm", ScriptedAnswer::json(200, R"({"answer":{}})"));
        return s;
    }();
    return *instance;
}

Request<BenchBody> benchRequest() {
    return Request<BenchBody>{Endpoint(URL::parse(server().baseURL()).value(),
                                       {"SYS", "users", "U1", "transactions", "T1", "confirm"}),
                              HTTPMethod::post, {}};
}

const Bytes& benchKey() {
    static const Bytes key(32, 0x42);
    return key;
}

using Clock = std::chrono::steady_clock;

// The SDK's path: build, sign, send on the network thread, and call the
// completion there.
std::optional<Clock::time_point> signAndSend(const Request<BenchBody>& request) {
    return bench::settledAt(sendRequest(request.urlRequest(benchKey(), false)));
}

// The floor: the bytes of one signed request on a kept-alive connection.
class BareCurl : public bench::BareCurl {
public:
    BareCurl() : bench::BareCurl(benchRequest().urlRequest(benchKey(), false)) {}
};

void BM_SignAndSend(benchmark::State& state) {
    Request<BenchBody> request = benchRequest();
    signAndSend(request);  // opens the connection
    for (auto _ : state) {
        auto start = Clock::now();
        auto completed = signAndSend(request);
        if (!completed) {
            state.SkipWithError("the request failed");
            break;
        }
        state.SetIterationTime(std::chrono::duration<double>(*completed - start).count());
    }
}
BENCHMARK(BM_SignAndSend)->UseManualTime();

void BM_Floor_BareCurlKeptAlive(benchmark::State& state) {
    BareCurl floor;
    for (auto _ : state)
        if (!floor.post()) state.SkipWithError("the request failed");
}
BENCHMARK(BM_Floor_BareCurlKeptAlive)->UseRealTime();

void BM_SignAndSendVsFloor(benchmark::State& state) {
    Request<BenchBody> request = benchRequest();
    signAndSend(request);
    BareCurl floor;
    bench::alternateWithFloor(state, [&] { return signAndSend(request); }, [&] { return floor.post(); });
}
// Short rounds sample more of the scheduler's placements than one long run.
constexpr int kRounds = 15;
BENCHMARK(BM_SignAndSendVsFloor)->UseRealTime()->MinTime(0.1)->Repetitions(kRounds);

void BM_SignAndSend_Chained(benchmark::State& state) {
    Request<BenchBody> request = benchRequest();
    signAndSend(request);
    constexpr int kChain = 64;
    auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        Promise<void> finished;
        std::function<void(int)> next = [&](int left) {
            sendRequest(request.urlRequest(benchKey(), false)).observe([&, left](const SVResult<Bytes>& result) {
                if (!result.ok())
                    finished.reject(result.error());
                else if (left == 1)
                    finished.resolve();
                else
                    next(left - 1);
            });
        };
        next(kChain);
        if (!bench::settledAt(Future<void>(finished))) state.SkipWithError("a request failed");
    }
    double elapsed = std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count();
    state.counters["per_request_ns"] =
        elapsed / static_cast<double>(std::max<benchmark::IterationCount>(state.iterations(), 1) * kChain);
}
BENCHMARK(BM_SignAndSend_Chained)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    bench::CollectingReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    bench::printRatioSpread(reporter, "BM_SignAndSendVsFloor", "sign-and-send / bare kept-alive libcurl",
                            " (target at most 1.5x)");
    return 0;
}
