#include <gtest/gtest.h>

#include <algorithm>

#include "Core/Networking/APIInteractionManager.h"
#include "support/Await.h"
#include "support/LoopbackServer.h"
#include "support/TestEnvironment.h"
#include "support/TestUsers.h"

using namespace svsdk;
using namespace svsdk::testing;

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
    SVResult<APIInteractionManager::Interactor> interactorFor(const SVUser& u) { return await(manager.makeInteractor(u)); }
    std::vector<std::string> paths() const {
        std::vector<std::string> result;
        for (const auto& request : server.requests()) result.push_back(request.method + " " + request.path);
        return result;
    }

    LoopbackServer server;
    APIInteractionManager manager;
};

}  // namespace

// The declared version chooses the object whatever the status; without one
// the legacy endpoints are probed.
TEST_F(APIInteractionManagerTest, TheServersVersionChoosesTheObject) {
    ScriptedAnswer cut = ScriptedAnswer::json(200, R"({"sv_api_version":3,"padding":"xxxxxxxx"})");
    cut.drop = ScriptedAnswer::Drop::midBody;
    const ScriptedAnswer missing = status(404), ok = status(200);
    auto declared = [](const std::string& version, int code = 200) {
        return ScriptedAnswer::json(code, R"({"sv_api_version":)" + version + "}");
    };
    struct Case {
        ScriptedAnswer health, v2, v1;
        std::int64_t version;  // 0: apiIsNotSupported, -1: endpointUnavailable
        std::size_t probes;
    };
    for (const Case& c : {Case{declared("3"), missing, missing, 3, 1}, Case{declared("5"), missing, missing, 3, 1},
                          Case{declared("2"), missing, missing, 2, 1}, Case{declared("3.0"), missing, missing, 3, 1},
                          Case{declared("3", 500), missing, missing, 3, 1}, Case{declared("0"), ok, ok, 0, 1},
                          Case{declared("-4"), ok, ok, 0, 1},
                          Case{status(404, "<html>not here</html>"), status(405), missing, 2, 2},
                          Case{declared("\"3\""), status(401), missing, 2, 2}, Case{declared("3.5"), ok, missing, 2, 2},
                          Case{ScriptedAnswer::json(200, "[3]"), ok, missing, 2, 2},
                          Case{status(200, "not json"), ok, missing, 2, 2}, Case{cut, ok, missing, 2, 2},
                          Case{missing, missing, status(500), 1, 3}, Case{missing, missing, missing, -1, 3}}) {
        SCOPED_TRACE(c.health.body);
        server.answer("GET", "/srv/health_check", c.health);
        server.answer("GET", "/srv/jsonrequest_v2", c.v2);
        server.answer("GET", "/srv/jsonrequest_v1", c.v1);
        server.clearRequests();
        APIInteractionManager fresh;
        auto result = await(fresh.makeInteractor(user("S")));
        if (c.version <= 0) {
            EXPECT_TRUE(!result.ok() && result.error().is(c.version ? SVError::Code::endpointUnavailable
                                                                    : SVError::Code::apiIsNotSupported));
        } else {
            ASSERT_TRUE(result.ok());
            EXPECT_EQ(result.value()->version(), c.version);
            EXPECT_EQ(dynamic_cast<const APIInteractorV3*>(result.value().get()) != nullptr, c.version == 3);
            EXPECT_EQ(result.value()->endpointURL().absoluteString(),
                      server.baseURL() + "/srv/jsonrequest_v" + std::to_string(c.version));
        }
        std::vector<std::string> expected = {"GET /srv/health_check", "GET /srv/jsonrequest_v2",
                                             "GET /srv/jsonrequest_v1"};
        expected.resize(c.probes);
        EXPECT_EQ(paths(), expected);
        for (const auto& request : server.requests())
            EXPECT_TRUE(request.body.empty() && !request.header("SV-Authorization") && !request.header("Authorization"));
    }
    for (std::int64_t version : {0, 4}) EXPECT_EQ(APIInteractionManager::interactor(version, URL::parse(server.baseURL()).value()), nullptr);
}

TEST_F(APIInteractionManagerTest, OneProbePerSystemIsCachedAndUsersKeepTheirOwnURL) {
    // A failed probe is cached: nothing is sent again.
    EXPECT_TRUE(interactorFor(user("F")).error().is(SVError::Code::endpointUnavailable));
    server.answer("GET", "/srv/health_check", ScriptedAnswer::json(200, R"({"sv_api_version":3})"));
    EXPECT_TRUE(interactorFor(user("F")).error().is(SVError::Code::endpointUnavailable));
    EXPECT_EQ(server.requestCount(), 3u);

    server.clearRequests();
    ScriptedAnswer slow = ScriptedAnswer::json(200, R"({"sv_api_version":3})");
    slow.delay = 0.2;
    server.answer("GET", "/first/health_check", slow);
    auto a = manager.makeInteractor(user("S", "/first"));
    auto b = manager.makeInteractor(user("S", "/second"));
    EXPECT_EQ(await(a).value()->interactionURL().absoluteString(), server.baseURL() + "/first");
    EXPECT_EQ(await(b).value()->endpointURL().absoluteString(), server.baseURL() + "/second/jsonrequest_v3");
    EXPECT_EQ(paths(), (std::vector<std::string>{"GET /first/health_check"}));

    auto unreachable = interactorFor(userOf("U", "http://127.0.0.1:" + std::to_string(LoopbackServer::unusedPort())));
    EXPECT_EQ(unreachable.error().get<SVPlatformError>()->domain(), "curl");
    for (const char* text : {"", "not a url", "/relative/path"})
        EXPECT_TRUE(manager.makeInteractor(userOf("S", text)).result()->error().is(SVError::Code::missingInteractionURL));
}

TEST_F(APIInteractionManagerTest, StartUpProbesEachStoredSystemOnce) {
    server.answer("GET", "/a/health_check", ScriptedAnswer::json(200, R"({"sv_api_version":3})"));
    server.answer("GET", "/b/health_check", ScriptedAnswer::json(200, R"({"sv_api_version":2})"));
    manager.checkServersAPIVersions({user("A", "/a"), user("B", "/b"), user("A", "/a2"), userOf("C", "not a url")});
    ASSERT_TRUE(server.waitForRequests(2));
    EXPECT_EQ(interactorFor(user("A", "/a3")).value()->interactionURL().absoluteString(), server.baseURL() + "/a3");
    EXPECT_EQ(interactorFor(user("B", "/b")).value()->version(), 2);
    manager.checkServersAPIVersions({user("A", "/a")});
    EXPECT_EQ(interactorFor(user("A")).value()->version(), 3);
    auto sent = paths();
    std::sort(sent.begin(), sent.end());
    EXPECT_EQ(sent, (std::vector<std::string>{"GET /a/health_check", "GET /b/health_check"}));
    // A user without a usable URL left its system unprobed.
    server.answer("GET", "/c/health_check", ScriptedAnswer::json(200, R"({"sv_api_version":3})"));
    EXPECT_EQ(interactorFor(user("C", "/c")).value()->version(), 3);
}
