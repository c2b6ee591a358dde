#include <gtest/gtest.h>

#include <svsdk/SVLogin.h>
#include <svsdk/SVScoring.h>

#include "Core/Networking/EventsHolder.h"
#include "Core/Networking/RequestBodies.h"
#include "support/Await.h"

using namespace svsdk;
using svsdk::testing::await;

namespace {

template <class Body>
std::string encoded(const Body& body) {
    nlohmann::ordered_json json = body;
    return json.dump();
}

Request<LegacyRequestBody> legacyRequest() {
    return Request<LegacyRequestBody>{Endpoint(URL::parse("https://s.example/x").value()), HTTPMethod::post, {}};
}

}  // namespace

TEST(RequestBodiesTest, MembersOrderAndOmission) {
    Event event{"e", "s", 5, std::nullopt};
    EXPECT_EQ(encoded(EmptyBody{}), "{}");
    EXPECT_EQ(encoded(EventBody{"key_deleted", event}),
              R"({"event_type":"key_deleted","event":{"device_event_id":"e","session_id":"s","device_time":5}})");
    EXPECT_EQ(encoded(UserRegistrationBody{PushAddress{"iOS", "", std::nullopt}, "k", std::nullopt, std::nullopt}),
              R"({"public_key":"k","push_address":{"device_type":"iOS","device_push_id":""}})");
    EXPECT_EQ(encoded(RenewResponseBody{event, "sig", "salt", "mac"}).find(R"({"event":)"), 0u);
    EXPECT_EQ(encoded(LoginTransactionsBody{"u", "s"}), R"({"userId":"u","sessionId":"s"})");
    EXPECT_EQ(encoded(ConfirmationBody{std::nullopt, "", std::nullopt, std::nullopt}), R"({"signature":""})");

    auto decoded = PushAddress::decode(nlohmann::json{{"device_push_id", "t"}, {"device_type", "other"}});
    EXPECT_EQ(decoded.deviceType, "iOS");
    EXPECT_FALSE(decoded.bundleID.has_value());
    EXPECT_THROW(PushAddress::decode(nlohmann::json{{"device_push_id", 3}}), SVDecodingError);
}

// The legacy form: identifiers and time of the event, the device data with or
// without it; an event set before is replaced.
TEST(RequestBodiesTest, LegacyAttachingUsesItsOwnRecords) {
    auto request = legacyRequest();
    request.body.parameters.event = LegacyEvent{"old", "old", 1};
    Analytics::CollectedData deviceOnly{std::nullopt, DeviceInfo{}};
    auto attached = await(attachingCollectedInfo(request, Promise<Analytics::CollectedData>::resolved(deviceOnly))).value();
    EXPECT_FALSE(attached.body.parameters.event.has_value());
    EXPECT_TRUE(attached.body.parameters.deviceInfo.has_value());
    EXPECT_TRUE(request.body.parameters.event.has_value()) << "the caller's request is not changed";

    Analytics::CollectedData both{Event{"e", "s", 7, DeviceInfo{}}, std::nullopt};
    attached = await(attachingCollectedInfo(request, Promise<Analytics::CollectedData>::resolved(both))).value();
    nlohmann::ordered_json event = *attached.body.parameters.event;
    EXPECT_EQ(event.dump(), R"({"eventID":"e","sessionID":"s","device_time":7})");
    EXPECT_FALSE(attached.body.parameters.deviceInfo.has_value());
}

TEST(ScoringAndLoginTest, DataModel) {
    SVScoringParameters<EmptyScoringParameters> empty("", {});
    nlohmann::ordered_json keyed = empty;
    EXPECT_EQ(keyed.dump(), R"({"provider":"","parameters":{}})");
    static_assert(!std::is_constructible_v<nlohmann::json, decltype(empty)>, "a sorted object would put provider last");
    EXPECT_EQ(empty.dictionary().size(), 1u);

    auto login = SVLogin::decode(std::string_view(
        R"({"sid":"s","sysId":"y","type":"login","expires":1.5,"pulp":"AAE=","loqUrl":"https://l.example/a","x":1})"));
    EXPECT_EQ(login, SVLogin("y", 1.5, "s", SVQRType::login, Bytes{0, 1}, "https://l.example/a"));
    for (const char* bad : {R"({"sid":"s","sysId":"y","type":"login","expires":1,"pulp":"A","loqUrl":"https://l"})",
                            R"({"sid":"s","sysId":"y","type":"qr","expires":1,"pulp":"","loqUrl":"https://l"})",
                            R"({"sid":"s","sysId":"y","type":"login","expires":1,"pulp":"","loqUrl":"no url"})",
                            R"({"sysId":"y","type":"login","expires":1,"pulp":"","loqUrl":"https://l"})"})
        EXPECT_THROW(SVLogin::decode(std::string_view(bad)), SVDecodingError) << bad;
}
