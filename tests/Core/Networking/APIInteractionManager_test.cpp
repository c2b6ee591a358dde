#include <gtest/gtest.h>

#include <atomic>

#include "Core/Networking/APIInteractionManager.h"
#include "support/Await.h"
#include "support/LoopbackServer.h"
#include "support/TestUsers.h"
#include "support/TestEnvironment.h"

using namespace svsdk;
using svsdk::testing::await;
using svsdk::testing::LoopbackServer;
using svsdk::testing::userOf;
using svsdk::testing::ScopedPlatform;
using svsdk::testing::ScriptedAnswer;

namespace {

ScriptedAnswer status(int code, std::string body = {}) {
    ScriptedAnswer answer;
    answer.status = code;
    answer.body = std::move(body);
    return answer;
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

TEST(APIInteractorTableTest, VersionsOneToThreeHaveAnObject) {
    URL url = URL::parse("https://sv.example/").value();
    EXPECT_EQ(APIInteractionManager::interactor(0, url), nullptr);
    EXPECT_EQ(APIInteractionManager::interactor(4, url), nullptr);
    EXPECT_EQ(APIInteractionManager::interactor(-3, url), nullptr);
    auto legacy = APIInteractionManager::interactor(2, url);
    ASSERT_NE(dynamic_cast<const APIInteractorLegacy*>(legacy.get()), nullptr);
    EXPECT_EQ(legacy->version(), 2);
    EXPECT_EQ(APIInteractionManager::interactor(1, url)->version(), 1);
    auto v3 = APIInteractionManager::interactor(3, url);
    ASSERT_NE(dynamic_cast<const APIInteractorV3*>(v3.get()), nullptr);
    EXPECT_EQ(v3->interactionURL(), url);
}

TEST_F(APIInteractionManagerTest, TheDeclaredVersionChoosesTheObject) {
    struct Case {
        std::string system, body;
        std::int64_t version;  // 0: apiIsNotSupported
        bool v3;
    };
    for (const Case& c : {Case{"three", R"({"sv_api_version":3})", 3, true},
                          Case{"five", R"({"sv_api_version":5})", 3, true},
                          Case{"two", R"({"sv_api_version":2})", 2, false},
                          Case{"zero", R"({"sv_api_version":0})", 0, false},
                          Case{"negative", R"({"sv_api_version":-4})", 0, false}}) {
        declare(c.body, 200, "/" + c.system);
        auto result = interactorFor(user(c.system, "/" + c.system));
        if (c.version == 0) {
            ASSERT_FALSE(result.ok()) << c.system;
            EXPECT_TRUE(result.error().is(SVError::Code::apiIsNotSupported)) << c.system;
            continue;
        }
        ASSERT_TRUE(result.ok()) << c.system;
        EXPECT_EQ(result.value()->version(), c.version) << c.system;
        EXPECT_EQ(dynamic_cast<const APIInteractorV3*>(result.value().get()) != nullptr, c.v3) << c.system;
    }
    // A declared version never leads to the fallback probes.
    for (const auto& path : paths()) EXPECT_NE(path.find("/health_check"), std::string::npos) << path;
    EXPECT_EQ(server.requestCount(), 5u);
}

TEST_F(APIInteractionManagerTest, ProbesArePlainGetRequests) {
    declare(R"({"sv_api_version":3})");
    ASSERT_TRUE(interactorFor(user("S")).ok());
    auto received = server.requests();
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0].method, "GET");
    EXPECT_EQ(received[0].path, "/srv/health_check");
    EXPECT_TRUE(received[0].body.empty());
    EXPECT_FALSE(received[0].header("Content-Type"));
    EXPECT_FALSE(received[0].header("SV-Authorization"));
    EXPECT_FALSE(received[0].header("Authorization"));
}

TEST_F(APIInteractionManagerTest, TheHealthCheckStatusIsNotExamined) {
    declare(R"({"sv_api_version":3})", 500);
    EXPECT_EQ(interactorFor(user("S")).value()->version(), 3);
}

TEST_F(APIInteractionManagerTest, FallsBackToVersionTwoUnlessItIsMissing) {
    server.answer("GET", "/srv/health_check", status(404, "<html>not here</html>"));
    server.answer("GET", "/srv/jsonrequest_v2", status(405));
    auto result = interactorFor(user("S"));
    ASSERT_TRUE(result.ok());
    EXPECT_NE(dynamic_cast<const APIInteractorLegacy*>(result.value().get()), nullptr);
    EXPECT_EQ(result.value()->version(), 2);
    EXPECT_EQ(paths(), (std::vector<std::string>{"GET /srv/health_check", "GET /srv/jsonrequest_v2"}));
}

TEST_F(APIInteractionManagerTest, FallsBackToVersionOne) {
    server.answer("GET", "/srv/jsonrequest_v1", status(500));
    auto result = interactorFor(user("S"));
    ASSERT_TRUE(result.ok());
    EXPECT_EQ(result.value()->version(), 1);
    EXPECT_EQ(paths(), (std::vector<std::string>{"GET /srv/health_check", "GET /srv/jsonrequest_v2",
                                                 "GET /srv/jsonrequest_v1"}));
}

TEST_F(APIInteractionManagerTest, AHealthCheckWithoutAnIntegerVersionFallsBack) {
    server.answer("GET", "/srv/jsonrequest_v2", status(401));
    for (const char* body : {R"({"sv_api_version":"3"})", R"({"sv_api_version":3.5})", R"({"version":3})",
                             R"([3])", "not json", ""}) {
        APIInteractionManager fresh;
        declare(body);
        auto result = await(fresh.makeInteractor(user("S")));
        ASSERT_TRUE(result.ok()) << body;
        EXPECT_EQ(result.value()->version(), 2) << body;
    }
    // A health check cut off mid-body is a transport failure: also a fallback.
    ScriptedAnswer cut = ScriptedAnswer::json(200, R"({"sv_api_version":3,"padding":"xxxxxxxx"})");
    cut.drop = ScriptedAnswer::Drop::midBody;
    server.answer("GET", "/srv/health_check", cut);
    EXPECT_EQ(interactorFor(user("S")).value()->version(), 2);
}

TEST_F(APIInteractionManagerTest, AFailedProbeIsCachedAndNothingIsSentAgain) {
    ScopedPlatform platform(SVLoggingOptions::debug);
    auto first = interactorFor(user("S"));
    ASSERT_FALSE(first.ok());
    EXPECT_TRUE(first.error().is(SVError::Code::endpointUnavailable));
    EXPECT_EQ(server.requestCount(), 3u);
    EXPECT_TRUE(platform.log().contains(SVLogCategory::network, "Checking " + server.baseURL() + "/srv/health_check"));
    EXPECT_TRUE(platform.log().contains(SVLogCategory::network, "Checking " + server.baseURL() + "/srv/jsonrequest_v1"));

    declare(R"({"sv_api_version":3})");
    auto second = interactorFor(user("S", "/other"));
    ASSERT_FALSE(second.ok());
    EXPECT_TRUE(second.error().is(SVError::Code::endpointUnavailable));
    EXPECT_EQ(server.requestCount(), 3u);
}

TEST_F(APIInteractionManagerTest, AnUnreachableServerFailsWithTheLastTransportError) {
    SVUser gone = userOf("S", "http://127.0.0.1:" + std::to_string(LoopbackServer::unusedPort()));
    auto result = interactorFor(gone);
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
    ASSERT_TRUE(first.ok());
    ASSERT_TRUE(second.ok());
    EXPECT_EQ(first.value()->interactionURL().absoluteString(), server.baseURL() + "/first");
    EXPECT_EQ(second.value()->interactionURL().absoluteString(), server.baseURL() + "/second");
    EXPECT_EQ(second.value()->endpointURL().absoluteString(), server.baseURL() + "/second/jsonrequest_v3");
    EXPECT_EQ(paths(), (std::vector<std::string>{"GET /first/health_check"}));
}

TEST_F(APIInteractionManagerTest, StartUpProbesEachStoredSystemOnce) {
    declare(R"({"sv_api_version":3})", 200, "/a");
    declare(R"({"sv_api_version":2})", 200, "/b");
    manager.checkServersAPIVersions({user("A", "/a"), user("B", "/b"), user("A", "/a2")});
    ASSERT_TRUE(server.waitForRequests(2));
    auto fromA = interactorFor(user("A", "/a3"));
    auto fromB = interactorFor(user("B", "/b"));
    EXPECT_EQ(fromA.value()->version(), 3);
    EXPECT_EQ(fromA.value()->interactionURL().absoluteString(), server.baseURL() + "/a3");
    EXPECT_EQ(fromB.value()->version(), 2);
    auto sent = paths();
    std::sort(sent.begin(), sent.end());
    EXPECT_EQ(sent, (std::vector<std::string>{"GET /a/health_check", "GET /b/health_check"}));

    // A later start-up check does not probe a known system again.
    manager.checkServersAPIVersions({user("A", "/a")});
    EXPECT_EQ(interactorFor(user("A")).value()->version(), 3);
    EXPECT_EQ(server.requestCount(), 2u);
}

TEST_F(APIInteractionManagerTest, AUserWithoutAUsableURLFailsAtOnceAndSendsNothing) {
    for (const char* text : {"", "not a url", "/relative/path"}) {
        auto result = manager.makeInteractor(userOf("S", text)).result();
        ASSERT_TRUE(result) << text;
        EXPECT_TRUE(result->error().is(SVError::Code::missingInteractionURL)) << text;
    }
    manager.checkServersAPIVersions({userOf("S", "not a url")});
    // The system stays unprobed: a later user with a good URL probes it.
    declare(R"({"sv_api_version":3})");
    EXPECT_EQ(interactorFor(user("S")).value()->version(), 3);
    EXPECT_EQ(server.requestCount(), 1u);
}

TEST_F(APIInteractionManagerTest, TheInteractorArrivesOnTheNetworkThread) {
    declare(R"({"sv_api_version":3})");
    std::atomic<bool> onNetwork{false};
    auto chained = manager.makeInteractor(user("S")).transformed([&](const APIInteractionManager::Interactor& i) {
        onNetwork = HTTPSession::shared().isCurrent();
        return i->version();
    });
    EXPECT_EQ(await(chained).value(), 3);
    EXPECT_TRUE(onNetwork);
}

TEST_F(APIInteractionManagerTest, LogsTheFoundVersionAndAnUnsupportedOne) {
    ScopedPlatform platform(SVLoggingOptions::debug);
    declare(R"({"sv_api_version":0})");
    EXPECT_FALSE(interactorFor(user("S")).ok());
    EXPECT_TRUE(platform.log().contains(SVLogCategory::network, "Making an API Interactor"));
    EXPECT_TRUE(platform.log().contains(SVLogCategory::network, "Checking the server's API version"));
    EXPECT_TRUE(platform.log().contains(SVLogCategory::network, "Found the server's API version: 0"));
    EXPECT_TRUE(platform.log().contains(SVLogCategory::network, "Could not make interactor for 0 API version"));
}
