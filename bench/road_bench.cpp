// The whole road (import, activate, store, register, list, fetch, sign twice,
// decline, QR login, autosign registration and autosign, renewal, delete) of
// 100 users through the public managers against the stand-in server, per
// user, against the sum of its floors measured in the same run: the key
// derivations, key-pair generations and signatures, store commits and HTTP
// round trips one road needs.
#include <svsdk/Common/SVSDK.h>

#include "BenchSupport.h"
#include "Core/Networking/Request.h"
#include "Core/Security/Cryptor.h"
#include "Core/Security/SecureEnclave.h"
#include "support/Road.h"

namespace svsdk::bench {
namespace {

constexpr int kUsers = 100;
// What one road needs besides the HTTP round trips (counted at the server):
// key derivations: activation, store, unlock, and the renewal's activation
// and re-protection; key pairs: signing pair, autosign pair, renewed pair;
// signatures: two signings, the login, the autosign, the renewal response;
// store commits: store, token record, renewal, removal.
constexpr double kDerivations = 5, kGenerations = 3, kSignatures = 5, kCommits = 4;

struct Fixture {
    BenchPlatform platform;
    testing::StandinServer server;
    SVUser stored;
    Fixture() : stored(prepare(platform, server)) {}

    static SVUser prepare(BenchPlatform& platform, testing::StandinServer& server) {
        SVSDK::initialize(platform.dir + "/road.sqlite", std::nullopt, SVSDK::Mode::app());
        auto issued = server.issueUser({{"system_id", "floor-system"}});
        auto user = SVUsersManager::importUser(issued.qr).value();
        SVUsersManager::activate(user, issued.activationCode);
        SVUsersManager::store(user, std::string("floor"), std::string("floor-password"));
        return SVUsersManager::users().front();
    }
};
Fixture* fixture = nullptr;
double roundTripsPerUser = 0;

void Road(benchmark::State& state) {
    int round = 0;
    for (auto _ : state) {
        const auto before = fixture->server.requests().size();
        for (int i = 0; i < kUsers; ++i)
            testing::runRoad(fixture->server, "road-" + std::to_string(round) + "-" + std::to_string(i));
        roundTripsPerUser = static_cast<double>(fixture->server.requests().size() - before) / kUsers;
        ++round;
    }
    state.counters["round_trips_per_user"] = roundTripsPerUser;
}

void KeyDerivation(benchmark::State& state) {
    Bytes key(32, 7);
    for (auto _ : state) benchmark::DoNotOptimize(Cryptor::encrypt(key, "floor-user", "floor-password"));
}

void KeyPairGeneration(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(SecureEnclave::users().generateKeyPair("floor-label"));
}

void Signature(benchmark::State& state) {
    auto pair = SecureEnclave::users().generateKeyPair("floor-sign");
    Bytes data(200, 3);
    for (auto _ : state) benchmark::DoNotOptimize(SVConfirmation::sign(data, pair.privateKey));
}

void StoreCommit(benchmark::State& state) {
    int i = 0;
    for (auto _ : state) SVUsersManager::store(fixture->stored, "floor " + std::to_string(i++), std::nullopt);
}

void RoundTrip(benchmark::State& state) {
    Endpoint endpoint(URL::parse(fixture->server.baseURL()).value(), {"health_check"});
    for (auto _ : state) {
        testing::Recorder<Bytes> recorder;
        sendRequest(makeURLRequest(endpoint, HTTPMethod::get, Bytes{}, std::nullopt, false))
            .observe(recorder.completion());
        if (!recorder.wait().ok()) state.SkipWithError("the stand-in server did not answer");
    }
}

}  // namespace
}  // namespace svsdk::bench

using namespace svsdk::bench;
BENCHMARK(Road)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(KeyDerivation)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(KeyPairGeneration)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(Signature)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(StoreCommit)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(RoundTrip)->UseRealTime()->Unit(benchmark::kMicrosecond);

int main(int argc, char** argv) {
    CollectingReporter reporter;
    if (!runWithFixture(argc, argv, fixture, reporter)) return 1;
    // Keyed by function name (the reporter's names carry "/real_time" and
    // the like).
    std::map<std::string, double> t;
    for (const auto& [name, time] : reporter.realTime) t[name.substr(0, name.find('/'))] = time;
    for (const char* name : {"Road", "KeyDerivation", "KeyPairGeneration", "Signature", "StoreCommit", "RoundTrip"})
        if (!t.count(name)) return 0;
    // Times are in each benchmark's unit: the road in ms, the floors in us.
    const double perUser = t["Road"] * 1000.0 / kUsers;
    const double derivations = kDerivations * t["KeyDerivation"];
    const double keyPairs = kGenerations * t["KeyPairGeneration"] + kSignatures * t["Signature"];
    const double commits = kCommits * t["StoreCommit"];
    const double http = roundTripsPerUser * t["RoundTrip"];
    const double floor = derivations + keyPairs + commits + http;
    std::printf("road per user %.0f us; floors %.0f us = derivations %.0f + key pairs %.0f + commits %.0f + "
                "%.1f round trips %.0f\n",
                perUser, floor, derivations, keyPairs, commits, roundTripsPerUser, http);
    std::printf("ratio road per user / sum of floors = %.2f\n", perUser / floor);
    return 0;
}
