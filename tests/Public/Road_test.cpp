// The whole road through the public managers against the stand-in server,
// for both protocol generations, checked on the server's side.
#include <gtest/gtest.h>

#include <svsdk/Common/SVSDK.h>

#include "support/Road.h"
#include "support/TestEnvironment.h"

namespace svsdk::testing {

TEST(RoadTest, EachServerSeesEveryStepItsProtocolOffers) {
    ScopedPlatform platform;
    SVSDK::initialize(platform.dir().file("road.sqlite"), std::nullopt, SVSDK::Mode::app());
    removeAllUsers();
    for (int version : {3, 2}) {
        StandinServer server(version);
        RoadReport report = runRoad(server, "road" + std::to_string(version) + "-" + std::to_string(getpid()), version == 2);
        auto user = [&] { return server.userState(report.issued.systemID, report.issued.userID); };
        auto state = [&](const std::string& id) { return server.transactionState(id); };
        EXPECT_TRUE(user()["fingerprint"] == SVUsersManager::fingerprint() && !user()["public_key"].is_null());
        EXPECT_TRUE(state(report.signedID)["state"] == "confirmed" && state(report.scoredID)["state"] == "confirmed");
        EXPECT_EQ(state(report.declinedID)["state"], "declined");
        EXPECT_EQ(state(report.loginID)["state"], version == 3 ? "confirmed" : "pending");
        EXPECT_TRUE(SVUsersManager::users().empty());
        if (version == 2) continue;
        EXPECT_TRUE(!user()["autosign_public_key"].is_null() && user()["renewals"] == 1 && user()["registrations"] >= 2);
        EXPECT_EQ(user()["push_address"]["device_push_id"], "push-token-1") << user().dump();
        // A plain signing sends the empty provider with an empty object.
        EXPECT_EQ(state(report.signedID)["outcome"]["scoring_settings"], (nlohmann::json{{"", nlohmann::json::object()}}));
        EXPECT_EQ(state(report.scoredID)["outcome"]["scoring_settings"], (nlohmann::json{{"road-provider", {{"risk", 3}}}}));
        EXPECT_EQ(state(report.autosignedID)["outcome"]["via"], "autosign");
        auto deleted = [&] {  // the key-deleted event goes out in the background after the removal
            auto events = user()["events"];
            return std::find(events.begin(), events.end(), "key_deleted") != events.end();
        };
        for (int i = 0; i < 200 && !deleted(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(20));
        EXPECT_TRUE(deleted());

        // Scoring settings decode into the host's type, or fail as scoringUnavailable.
        server.setScoringSettings({{"road-provider", {{"threshold", 5}}}});
        auto scored = SVUsersManager::importUser(server.issueUser({{"flags", 0x400 | 0x2}, {"encrypted", false}}).qr).value();
        auto result = completed<SVScoringSettings<nlohmann::json>>([&](auto c) { SVAutoSigner::getScoringSettings<nlohmann::json>(scored, c); });
        EXPECT_TRUE(result.ok() && result.value().provider() == "road-provider" && result.value().settings()["threshold"] == 5);
        auto wrong = completed<SVScoringSettings<std::vector<int>>>([&](auto c) { SVAutoSigner::getScoringSettings<std::vector<int>>(scored, c); });
        EXPECT_TRUE(!wrong.ok() && wrong.error().is(SVError::Code::scoringUnavailable));
    }
}

}  // namespace svsdk::testing
