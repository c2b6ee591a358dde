// The whole road through the public managers against the stand-in server,
// for both protocol generations, checked on the server's side.
#include <gtest/gtest.h>

#include <svsdk/Common/SVSDK.h>

#include "support/Road.h"
#include "support/TestEnvironment.h"

namespace svsdk::testing {
namespace {

TEST(RoadTest, EachServerSeesEveryStepItsProtocolOffers) {
    ScopedPlatform platform;
    SVSDK::initialize(platform.dir().file("road.sqlite"), std::nullopt, SVSDK::Mode::app());
    removeAllUsers();
    for (int version : {3, 2}) {
        StandinServer server(version);
        RoadReport report = runRoad(server, "road" + std::to_string(version) + "-" + std::to_string(getpid()), {}, version == 2);
        auto state = server.userState(report.issued.systemID, report.issued.userID);
        auto outcome = [&](const std::string& id) { return server.transactionState(id); };
        EXPECT_EQ(state["fingerprint"], SVUsersManager::fingerprint());
        EXPECT_FALSE(state["public_key"].is_null());
        EXPECT_EQ(outcome(report.signedID)["state"], "confirmed");
        EXPECT_EQ(outcome(report.scoredID)["state"], "confirmed");
        EXPECT_EQ(outcome(report.declinedID)["state"], "declined");
        EXPECT_EQ(outcome(report.loginID)["state"], version == 3 ? "confirmed" : "pending");
        EXPECT_TRUE(SVUsersManager::users().empty());
        if (version == 2) continue;
        EXPECT_FALSE(state["autosign_public_key"].is_null());
        EXPECT_EQ(state["renewals"], 1);
        EXPECT_GE(state["registrations"].get<int>(), 2);  // the first and the renewal's
        EXPECT_EQ(state["push_address"]["device_push_id"], "push-token-1") << state.dump();
        // A plain signing sends the empty provider with an empty object.
        EXPECT_EQ(outcome(report.signedID)["outcome"]["scoring_settings"], (nlohmann::json{{"", nlohmann::json::object()}}));
        EXPECT_EQ(outcome(report.scoredID)["outcome"]["scoring_settings"], (nlohmann::json{{"road-provider", {{"risk", 3}}}}));
        EXPECT_EQ(outcome(report.autosignedID)["outcome"]["via"], "autosign");
        // The key-deleted event goes out in the background after the removal.
        auto deleted = [&] {
            auto events = server.userState(report.issued.systemID, report.issued.userID)["events"];
            return std::find(events.begin(), events.end(), "key_deleted") != events.end();
        };
        for (int i = 0; i < 200 && !deleted(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(20));
        EXPECT_TRUE(deleted());

        // Scoring settings decode into the host's type, or fail as scoringUnavailable.
        server.setScoringSettings({{"road-provider", {{"threshold", 5}}}});
        auto user = SVUsersManager::importUser(server.issueUser({{"flags", 0x400 | 0x2}, {"encrypted", false}}).qr).value();
        auto result = completed<SVScoringSettings<nlohmann::json>>(
            [&](auto c) { SVAutoSigner::getScoringSettings<nlohmann::json>(user, c); });
        ASSERT_TRUE(result.ok()) << result.error().description();
        EXPECT_EQ(result.value().provider(), "road-provider");
        EXPECT_EQ(result.value().settings()["threshold"], 5);
        auto wrong = completed<SVScoringSettings<std::vector<int>>>(
            [&](auto c) { SVAutoSigner::getScoringSettings<std::vector<int>>(user, c); });
        EXPECT_TRUE(!wrong.ok() && wrong.error().is(SVError::Code::scoringUnavailable));
    }
}

}  // namespace
}  // namespace svsdk::testing
