#include <gtest/gtest.h>

#include <algorithm>

#include "Core/Networking/APIInteractionManager.h"
#include "support/Await.h"
#include "support/LoopbackServer.h"
#include "support/TestEnvironment.h"
#include "support/TestUsers.h"

using namespace svsdk;
using svsdk::testing::await;
using svsdk::testing::LoopbackServer;
using svsdk::testing::ScopedPlatform;
using svsdk::testing::ScriptedAnswer;
using svsdk::testing::userOf;

namespace {

ScriptedAnswer status(int code, std::string body = {}) {
    ScriptedAnswer answer;
    answer.status = code;
    answer.body = std::move(body);
    return answer;
}

bool isV3(const APIInteractionManager::Interactor& interactor) {
    return dynamic_cast<const APIInteractorV3*>(interactor.get()) != nullptr;
}

class APIInteractionManagerTest : public ::testing::Test {
protected:
    SVUser user(const std::string& systemID, const std::string& prefix = "/srv") const {
        return userOf(systemID, server.baseURL() + prefix);
    }
    void declare(const std::string& body, int code = 200, const std::string& prefix = "/srv") {
        server.answer("GET", prefix + "/health_check", ScriptedAnswer::json(code, body));
    }
    SVResult<APIInteractionManager::Interactor> interactorFor(const SVUser& u) {
        return await(manager.makeInteractor(u));
    }
    std::vector<std::string> paths() const {
        std::vector<std::string> result;
        for (const auto& request : server.requests()) result.push_back(request.method + " " + request.path);
        return result;
    }

    LoopbackServer server;
    APIInteractionManager manager;
};

}  // namespace

TEST(APIInteractorTest, VersionsOneToThreeHaveAnObjectBelowTheirVersionedEndpoint) {
    URL url = URL::parse("https://sv.example/srv/").value();
    for (std::int64_t version : {0, 4, -3}) EXPECT_EQ(APIInteractionManager::interactor(version, url), nullptr);
    for (std::int64_t version : {1, 2, 3}) {
        auto made = APIInteractionManager::interactor(version, url);
        ASSERT_NE(made, nullptr);
        EXPECT_EQ(isV3(made), version == 3);
        EXPECT_EQ(made->version(), version);
        EXPECT_EQ(made->interactionURL(), url);
        EXPECT_EQ(made->endpointURL().absoluteString(),
                  "https://sv.example/srv/jsonrequest_v" + std::to_string(version));
    }
}

TEST_F(APIInteractionManagerTest, TheDeclaredVersionChoosesTheObjectWhateverTheStatus) {
    ScopedPlatform platform(SVLoggingOptions::debug);
    struct Case {
        std::string system, body;
        int status;
        std::int64_t version;  // 0: apiIsNotSupported
    };
    for (const Case& c : {Case{"three", R"({"sv_api_version":3})", 200, 3},
                          Case{"five", R"({"sv_api_version":5})", 200, 3},
                          Case{"two", R"({"sv_api_version":2})", 200, 2},
                          Case{"written-as-float", R"({"sv_api_version":3.0})", 200, 3},
                          Case{"unhealthy", R"({"sv_api_version":3})", 500, 3},
                          Case{"zero", R"({"sv_api_version":0})", 200, 0},
                          Case{"negative", R"({"sv_api_version":-4})", 200, 0}}) {
        declare(c.body, c.status, "/" + c.system);
        auto result = interactorFor(user(c.system, "/" + c.system));
        if (c.version == 0) {
            EXPECT_TRUE(!result.ok() && result.error().is(SVError::Code::apiIsNotSupported)) << c.system;
            continue;
        }
        ASSERT_TRUE(result.ok()) << c.system;
        EXPECT_EQ(result.value()->version(), c.version) << c.system;
        EXPECT_EQ(isV3(result.value()), c.version == 3) << c.system;
    }
    // A declared version never leads to the fallback probes; probes are plain GETs.
    auto received = server.requests();
    EXPECT_EQ(received.size(), 7u);
    for (const auto& request : received) {
        EXPECT_EQ(request.method, "GET");
        EXPECT_TRUE(request.path.ends_with("/health_check")) << request.path;
        EXPECT_TRUE(request.body.empty());
        EXPECT_FALSE(request.header("Content-Type") || request.header("SV-Authorization") ||
                     request.header("Authorization"));
    }
    for (const char* line : {"Making an API Interactor", "Checking the server's API version",
                             "Found the server's API version: 0", "Could not make interactor for 0 API version"})
        EXPECT_TRUE(platform.log().contains(SVLogCategory::network, line)) << line;
}

TEST_F(APIInteractionManagerTest, WithoutADeclaredVersionFallsBackToTheLegacyProbes) {
    ScriptedAnswer cut = ScriptedAnswer::json(200, R"({"sv_api_version":3,"padding":"xxxxxxxx"})");
    cut.drop = ScriptedAnswer::Drop::midBody;
    struct Case {
        ScriptedAnswer health, v2, v1;
        std::int64_t version;  // 0: endpointUnavailable
        std::size_t probes;
    };
    const ScriptedAnswer missing = status(404);
    for (const Case& c : {Case{status(404, "<html>not here</html>"), status(405), missing, 2, 2},
                          Case{ScriptedAnswer::json(200, R"({"sv_api_version":"3"})"), status(401), missing, 2, 2},
                          Case{ScriptedAnswer::json(200, R"({"sv_api_version":3.5})"), status(200), missing, 2, 2},
                          Case{ScriptedAnswer::json(200, R"({"version":3})"), status(200), missing, 2, 2},
                          Case{ScriptedAnswer::json(200, "[3]"), status(200), missing, 2, 2},
                          Case{status(200, "not json"), status(200), missing, 2, 2},
                          Case{cut, status(200), missing, 2, 2},
                          Case{missing, missing, status(500), 1, 3},
                          Case{missing, missing, missing, 0, 3}}) {
        server.answer("GET", "/srv/health_check", c.health);
        server.answer("GET", "/srv/jsonrequest_v2", c.v2);
        server.answer("GET", "/srv/jsonrequest_v1", c.v1);
        server.clearRequests();
        APIInteractionManager fresh;
        auto result = await(fresh.makeInteractor(user("S")));
        if (c.version == 0) {
            EXPECT_TRUE(!result.ok() && result.error().is(SVError::Code::endpointUnavailable)) << c.health.body;
        } else {
            ASSERT_TRUE(result.ok()) << c.health.body;
            EXPECT_FALSE(isV3(result.value()));
            EXPECT_EQ(result.value()->version(), c.version) << c.health.body;
        }
        std::vector<std::string> expected = {"GET /srv/health_check", "GET /srv/jsonrequest_v2",
                                             "GET /srv/jsonrequest_v1"};
        expected.resize(c.probes);
        EXPECT_EQ(paths(), expected) << c.health.body;
    }
}

TEST_F(APIInteractionManagerTest, AFailedProbeIsCachedAndNothingIsSentAgain) {
    ScopedPlatform platform(SVLoggingOptions::debug);
    auto first = interactorFor(user("S"));
    EXPECT_TRUE(!first.ok() && first.error().is(SVError::Code::endpointUnavailable));
    EXPECT_EQ(server.requestCount(), 3u);
    for (const char* probe : {"/srv/health_check", "/srv/jsonrequest_v1"})
        EXPECT_TRUE(platform.log().contains(SVLogCategory::network, "Checking " + server.baseURL() + probe)) << probe;

    declare(R"({"sv_api_version":3})");
    auto second = interactorFor(user("S", "/other"));
    EXPECT_TRUE(!second.ok() && second.error().is(SVError::Code::endpointUnavailable));
    EXPECT_EQ(server.requestCount(), 3u);
}

TEST_F(APIInteractionManagerTest, AnUnreachableServerFailsWithTheLastTransportError) {
    auto result = interactorFor(userOf("S", "http://127.0.0.1:" + std::to_string(LoopbackServer::unusedPort())));
    ASSERT_FALSE(result.ok());
    ASSERT_TRUE(result.error().is<SVPlatformError>());
    EXPECT_EQ(result.error().get<SVPlatformError>()->domain(), "curl");
}

TEST_F(APIInteractionManagerTest, UsersOfOneSystemShareOneProbeAndKeepTheirOwnURL) {
    ScriptedAnswer slow = ScriptedAnswer::json(200, R"({"sv_api_version":3})");
    slow.delay = 0.2;
    server.answer("GET", "/first/health_check", slow);
    auto a = manager.makeInteractor(user("S", "/first"));
    auto b = manager.makeInteractor(user("S", "/second"));
    auto first = await(a), second = await(b);
    ASSERT_TRUE(first.ok() && second.ok());
    EXPECT_EQ(first.value()->interactionURL().absoluteString(), server.baseURL() + "/first");
    EXPECT_EQ(second.value()->endpointURL().absoluteString(), server.baseURL() + "/second/jsonrequest_v3");
    EXPECT_EQ(paths(), (std::vector<std::string>{"GET /first/health_check"}));
}

TEST_F(APIInteractionManagerTest, StartUpProbesEachStoredSystemOnce) {
    declare(R"({"sv_api_version":3})", 200, "/a");
    declare(R"({"sv_api_version":2})", 200, "/b");
    manager.checkServersAPIVersions({user("A", "/a"), user("B", "/b"), user("A", "/a2"), userOf("C", "not a url")});
    ASSERT_TRUE(server.waitForRequests(2));
    auto fromA = interactorFor(user("A", "/a3"));
    EXPECT_EQ(fromA.value()->version(), 3);
    EXPECT_EQ(fromA.value()->interactionURL().absoluteString(), server.baseURL() + "/a3");
    EXPECT_EQ(interactorFor(user("B", "/b")).value()->version(), 2);
    // A later start-up check does not probe a known system again.
    manager.checkServersAPIVersions({user("A", "/a")});
    EXPECT_EQ(interactorFor(user("A")).value()->version(), 3);
    auto sent = paths();
    std::sort(sent.begin(), sent.end());
    EXPECT_EQ(sent, (std::vector<std::string>{"GET /a/health_check", "GET /b/health_check"}));

    // A user without a usable URL left its system unprobed: a later user with a good URL probes it.
    declare(R"({"sv_api_version":3})", 200, "/c");
    EXPECT_EQ(interactorFor(user("C", "/c")).value()->version(), 3);
}

TEST_F(APIInteractionManagerTest, AUserWithoutAUsableURLFailsAtOnceAndSendsNothing) {
    for (const char* text : {"", "not a url", "/relative/path"}) {
        auto result = manager.makeInteractor(userOf("S", text)).result();
        ASSERT_TRUE(result) << text;
        EXPECT_TRUE(result->error().is(SVError::Code::missingInteractionURL)) << text;
    }
    EXPECT_EQ(server.requestCount(), 0u);
}
