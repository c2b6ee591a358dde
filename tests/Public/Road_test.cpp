// The whole road through the public managers against the stand-in server,
// for both protocol generations, checked on the server's side.
#include <gtest/gtest.h>

#include <atomic>

#include <svsdk/Common/SVSDK.h>

#include "support/Road.h"
#include "support/TestEnvironment.h"

namespace svsdk::testing {
namespace {

std::string freshSystemID(const char* prefix) {
    static std::atomic<int> next{0};
    return std::string(prefix) + "-" + std::to_string(getpid()) + "-" + std::to_string(next++);
}

class RoadTest : public ::testing::Test {
protected:
    void SetUp() override {
        SVSDK::initialize(platform_.dir().file("road.sqlite"), std::nullopt, SVSDK::Mode::app());
        removeAllUsers();
    }
    ScopedPlatform platform_;
};

TEST_F(RoadTest, VersionThreeServerSeesEveryStepOfTheRoad) {
    StandinServer server(3);
    RoadReport report = runRoad(server, freshSystemID("road3"));

    auto state = server.userState(report.issued.systemID, report.issued.userID);
    EXPECT_EQ(state["fingerprint"], SVUsersManager::fingerprint());
    EXPECT_FALSE(state["public_key"].is_null());
    EXPECT_FALSE(state["autosign_public_key"].is_null());
    EXPECT_EQ(state["renewals"], 1);
    EXPECT_GE(state["registrations"].get<int>(), 2);  // the first and the renewal's
    EXPECT_EQ(state["push_address"]["device_push_id"], "push-token-1") << state.dump();

    EXPECT_EQ(server.transactionState(report.signedID)["state"], "confirmed");
    // A plain signing sends the empty provider with an empty object.
    EXPECT_EQ(server.transactionState(report.signedID)["outcome"]["scoring_settings"],
              (nlohmann::json{{"", nlohmann::json::object()}}));
    EXPECT_EQ(server.transactionState(report.scoredID)["outcome"]["scoring_settings"],
              (nlohmann::json{{"road-provider", {{"risk", 3}}}}));
    EXPECT_EQ(server.transactionState(report.declinedID)["state"], "declined");
    EXPECT_EQ(server.transactionState(report.loginID)["state"], "confirmed");
    EXPECT_EQ(server.transactionState(report.autosignedID)["outcome"]["via"], "autosign");
    EXPECT_TRUE(SVUsersManager::users().empty());

    // The key-deleted event goes out in the background after the removal.
    for (int i = 0; i < 200; ++i) {
        auto events = server.userState(report.issued.systemID, report.issued.userID)["events"];
        if (std::find(events.begin(), events.end(), "key_deleted") != events.end()) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ADD_FAILURE() << "no key-deleted event reached the server";
}

TEST_F(RoadTest, VersionTwoServerRunsTheRoadItsProtocolOffers) {
    StandinServer server(2);
    const std::string systemID = freshSystemID("road2");
    RoadReport report = runRoad(server, systemID, {}, true);
    auto state = server.userState(report.issued.systemID, report.issued.userID);
    EXPECT_EQ(state["fingerprint"], SVUsersManager::fingerprint());
    EXPECT_FALSE(state["public_key"].is_null());
    EXPECT_EQ(server.transactionState(report.signedID)["state"], "confirmed");
    EXPECT_EQ(server.transactionState(report.scoredID)["state"], "confirmed");
    EXPECT_EQ(server.transactionState(report.declinedID)["state"], "declined");
    EXPECT_EQ(server.transactionState(report.loginID)["state"], "pending");
    EXPECT_TRUE(SVUsersManager::users().empty());
}

TEST_F(RoadTest, ScoringSettingsDecodeIntoTheHostsType) {
    StandinServer server(3);
    server.setScoringSettings({{"road-provider", {{"threshold", 5}}}});
    auto issued = server.issueUser({{"system_id", freshSystemID("scoring")}, {"flags", 0x400 | 0x2}, {"encrypted", false}});
    auto user = SVUsersManager::importUser(issued.qr).value();
    struct Settings {
        int threshold;
    };
    auto result = completed<SVScoringSettings<nlohmann::json>>(
        [&](auto c) { SVAutoSigner::getScoringSettings<nlohmann::json>(user, c); });
    ASSERT_TRUE(result.ok()) << result.error().description();
    EXPECT_EQ(result.value().provider(), "road-provider");
    EXPECT_EQ(result.value().settings()["threshold"], 5);
    // Settings that do not decode as the host's type.
    auto wrong = completed<SVScoringSettings<std::vector<int>>>(
        [&](auto c) { SVAutoSigner::getScoringSettings<std::vector<int>>(user, c); });
    ASSERT_FALSE(wrong.ok());
    EXPECT_TRUE(wrong.error().is(SVError::Code::scoringUnavailable));
}

}  // namespace
}  // namespace svsdk::testing
