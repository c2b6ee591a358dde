// One confirmation sent through the v3 protocol object (all collection bits
// set), beside its floor in the same run: the offline confirmation's own
// cost plus the same request bytes posted with a bare libcurl handle on a
// kept-alive connection. The two alternate request by request in several
// short rounds; the last lines give the median ratio (target: at most 1.5).
#include <benchmark/benchmark.h>
#include <curl/curl.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <optional>

#include <svsdk/SVConfirmation.h>

#include "BenchSupport.h"
#include "Core/Networking/APIInteractor.h"
#include "Core/Security/HandlesManager.h"
#include "Core/Security/SecureEnclave.h"
#include "support/LoopbackServer.h"

using namespace svsdk;
using svsdk::testing::LoopbackServer;
using svsdk::testing::ScriptedAnswer;

namespace {

using Clock = std::chrono::steady_clock;

std::size_t discard(char*, std::size_t size, std::size_t count, void*) { return size * count; }

struct Setup {
    bench::BenchPlatform platform;
    LoopbackServer server;
    SVUser user;
    SVTransaction transaction{"T1", "U1", "SYS", 6, false, SVConfirmationType::online, std::string("Pay 10 EUR")};
    APIInteractorV3 interactor;

    Setup()
        : user("U1", "SYS", SVUserOptions{UserFlags(2 | 4 | 8 | 16)}, server.baseURL(), std::nullopt, std::nullopt,
               std::int64_t{3}, std::nullopt, {}, 180, 180, "S1", 3, UserKeysContent::storedEncrypted(), 4102444800),
          interactor(URL::parse(server.baseURL()).value()) {
        server.answer("POST", "/jsonrequest_v3/SYS/users/U1/transactions/T1/confirm",
                      ScriptedAnswer::json(200, R"({"answer":{}})"));
        HandlesManager::shared().add(Bytes(32, 0x41), HandleType::hmac, user);
        HandlesManager::shared().add(Bytes(32, 0x42), HandleType::auth, user);
        SecureEnclave::users().generateKeyPair(user.uniqueID());
    }
};
Setup* setup = nullptr;

// Sends one confirmation and waits; the moment its future settled, or none.
std::optional<Clock::time_point> confirmOnce() {
    const APIInteractor& api = setup->interactor;
    return bench::settledAt(api.confirm(setup->transaction, setup->user, std::optional<JSONScoringParameters>()));
}

// The floor: the confirmation computed offline, then the bytes the SDK sent
// posted again on one kept-alive handle.
class Floor {
public:
    Floor() {
        auto sent = setup->server.requests().back();
        body_ = sent.body;
        url_ = setup->server.baseURL() + sent.path;
        headers_ = curl_slist_append(headers_, "Content-Type: application/json");
        headers_ = curl_slist_append(headers_, ("SV-Authorization: " + sent.header("SV-Authorization").value()).c_str());
        easy_ = curl_easy_init();
        curl_easy_setopt(easy_, CURLOPT_URL, url_.c_str());
        curl_easy_setopt(easy_, CURLOPT_HTTPHEADER, headers_);
        curl_easy_setopt(easy_, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body_.size()));
        curl_easy_setopt(easy_, CURLOPT_POSTFIELDS, body_.data());
        curl_easy_setopt(easy_, CURLOPT_WRITEFUNCTION, &discard);
        curl_easy_setopt(easy_, CURLOPT_NOSIGNAL, 1L);
    }
    ~Floor() {
        curl_easy_cleanup(easy_);
        curl_slist_free_all(headers_);
    }
    bool run() {
        SVConfirmation confirmation(setup->transaction, setup->user, false);
        benchmark::DoNotOptimize(confirmation);
        long status = 0;
        return curl_easy_perform(easy_) == CURLE_OK &&
               curl_easy_getinfo(easy_, CURLINFO_RESPONSE_CODE, &status) == CURLE_OK && status == 200;
    }

private:
    std::string body_, url_;
    CURL* easy_ = nullptr;
    curl_slist* headers_ = nullptr;
};

void BM_ConfirmVsFloor(benchmark::State& state) {
    if (!confirmOnce()) {
        state.SkipWithError("the confirmation failed");
        return;
    }
    Floor floor;
    bench::alternateWithFloor(state, confirmOnce, [&] { return floor.run(); });
}
constexpr int kRounds = 15;
BENCHMARK(BM_ConfirmVsFloor)->UseRealTime()->MinTime(0.1)->Repetitions(kRounds);

}  // namespace

int main(int argc, char** argv) {
    bench::CollectingReporter reporter;
    if (!bench::runWithFixture(argc, argv, setup, reporter)) return 1;
    bench::printRatioSpread(reporter, "BM_ConfirmVsFloor",
                            "v3 confirm / (offline confirmation + bare kept-alive libcurl)", " (target at most 1.5x)");
    return 0;
}
