#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>

#include "Core/Networking/HTTPSession.h"
#include "support/LoopbackServer.h"

using namespace svsdk;
using svsdk::testing::LoopbackServer;
using svsdk::testing::ScriptedAnswer;

namespace {

struct Outcome {
    TransferResult result;
    bool onNetworkThread = false;
};

// Runs one transfer on `session` and waits for its completion.
Outcome perform(HTTPSession& session, URLRequest request) {
    std::promise<Outcome> done;
    auto finished = done.get_future();
    session.dataTask(std::move(request), [&](TransferResult result) {
        done.set_value(Outcome{std::move(result), session.isCurrent()});
    });
    EXPECT_EQ(finished.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    return finished.get();
}

URLRequest get(const std::string& url, double timeout = 10) {
    URLRequest request;
    request.url = url;
    request.timeoutInterval = timeout;
    return request;
}

std::string text(const std::optional<Bytes>& data) { return data ? stringOf(*data) : "<none>"; }

}  // namespace

TEST(HTTPSessionTest, SendsMethodHeadersAndBodyAndCompletesOnTheNetworkThread) {
    LoopbackServer server;
    ScriptedAnswer answer = ScriptedAnswer::json(201, R"({"ok":true})");
    answer.headers.emplace_back("X-Answer", "yes");
    server.answer("PATCH", "/a/b", answer);
    HTTPSession session;

    URLRequest request = get(server.baseURL() + "/a/b?x=1");
    request.httpMethod = "PATCH";
    request.headers.set("Content-Type", "application/json");
    request.headers.set("SV-Authorization", "abc");
    request.httpBody = bytesOf(R"({"k":"v"})");
    Outcome outcome = perform(session, request);

    EXPECT_TRUE(outcome.onNetworkThread);
    EXPECT_FALSE(session.isCurrent());
    ASSERT_FALSE(outcome.result.error) << outcome.result.error->what();
    ASSERT_TRUE(outcome.result.response);
    EXPECT_EQ(outcome.result.response->statusCode, 201);
    EXPECT_EQ(outcome.result.response->headers.value("x-answer"), "yes");
    EXPECT_EQ(text(outcome.result.data), R"({"ok":true})");

    auto received = server.requests();
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0].method, "PATCH");
    EXPECT_EQ(received[0].path, "/a/b?x=1");
    EXPECT_EQ(received[0].header("SV-Authorization"), "abc");
    EXPECT_EQ(received[0].header("Content-Type"), "application/json");
    EXPECT_FALSE(received[0].header("Expect"));
    EXPECT_EQ(received[0].body, R"({"k":"v"})");
}

TEST(HTTPSessionTest, KeepsTheConnectionAliveBetweenRequests) {
    LoopbackServer server;
    HTTPSession session;
    perform(session, get(server.baseURL() + "/one"));
    perform(session, get(server.baseURL() + "/two"));
    auto received = server.requests();
    ASSERT_EQ(received.size(), 2u);
    EXPECT_EQ(received[0].remotePort, received[1].remotePort);
}

TEST(HTTPSessionTest, SendsThePathExactlyAsWritten) {
    LoopbackServer server;
    HTTPSession session;
    perform(session, get(server.baseURL() + "/a/../b/%2E%2E/c%2Fd"));
    ASSERT_EQ(server.requestCount(), 1u);
    EXPECT_EQ(server.requests()[0].path, "/a/../b/%2E%2E/c%2Fd");
}

TEST(HTTPSessionTest, FetchesOnlyHttpAndHttpsAndFollowsNoRedirect) {
    LoopbackServer server;
    HTTPSession session;
    for (const std::string& url : std::vector<std::string>{"file:///etc/hostname", "dict://127.0.0.1:" + std::to_string(server.port()) + "/x",
                            "gopher://127.0.0.1/", "not a url"}) {
        Outcome outcome = perform(session, get(url));
        EXPECT_TRUE(outcome.result.error) << url;
        EXPECT_FALSE(outcome.result.response) << url;
        EXPECT_FALSE(outcome.result.data) << url;
    }
    EXPECT_EQ(server.requestCount(), 0u);

    ScriptedAnswer redirect;
    redirect.status = 302;
    redirect.headers = {{"Location", server.baseURL() + "/elsewhere"}};
    server.answer("GET", "/moved", redirect);
    URLRequest request = get(server.baseURL() + "/moved");
    request.headers.set("SV-Authorization", "secret-signature");
    Outcome outcome = perform(session, request);
    ASSERT_TRUE(outcome.result.response);
    EXPECT_EQ(outcome.result.response->statusCode, 302);
    EXPECT_EQ(server.requestCount(), 1u);
}

TEST(HTTPSessionTest, ReportsBrokenTransfersAsErrors) {
    LoopbackServer server;
    HTTPSession session;

    ScriptedAnswer dropped;
    dropped.drop = ScriptedAnswer::Drop::beforeAnswer;
    server.answer("GET", "/dropped", dropped);
    Outcome early = perform(session, get(server.baseURL() + "/dropped"));
    EXPECT_TRUE(early.result.error);
    EXPECT_FALSE(early.result.response);

    ScriptedAnswer cut = ScriptedAnswer::json(200, R"({"answer":{"transaction_list":["1","2","3"]}})");
    cut.drop = ScriptedAnswer::Drop::midBody;
    server.answer("GET", "/cut", cut);
    Outcome midway = perform(session, get(server.baseURL() + "/cut"));
    ASSERT_TRUE(midway.result.error);
    ASSERT_TRUE(midway.result.response);
    EXPECT_EQ(midway.result.response->statusCode, 200);

    Outcome unreachable = perform(session, get("http://127.0.0.1:" + std::to_string(LoopbackServer::unusedPort()) + "/"));
    EXPECT_TRUE(unreachable.result.error);
    EXPECT_EQ(unreachable.result.error->domain(), "curl");

    // A request that cannot go on the wire as it is fails without being sent.
    server.clearRequests();
    URLRequest injected = get(server.baseURL() + "/x");
    injected.headers.set("X-Evil", "a\r\nHost: elsewhere");
    EXPECT_TRUE(perform(session, injected).result.error);
    EXPECT_EQ(server.requestCount(), 0u);
}

TEST(HTTPSessionTest, EndsATransferAtItsTimeout) {
    LoopbackServer server;
    ScriptedAnswer slow;
    slow.delay = 5;
    server.answer("GET", "/slow", slow);
    HTTPSession session;
    auto start = std::chrono::steady_clock::now();
    Outcome outcome = perform(session, get(server.baseURL() + "/slow", 0.3));
    auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_TRUE(outcome.result.error);
    EXPECT_LT(elapsed, std::chrono::seconds(3));
}

TEST(HTTPSessionTest, StoppingDropsTransfersInFlight) {
    LoopbackServer server;
    ScriptedAnswer slow;
    slow.delay = 10;
    server.answer("GET", "/slow", slow);
    bool called = false;
    auto start = std::chrono::steady_clock::now();
    {
        HTTPSession session;
        session.dataTask(get(server.baseURL() + "/slow"), [&](TransferResult) { called = true; });
        ASSERT_TRUE(server.waitForRequests(1));
    }
    EXPECT_FALSE(called);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

TEST(HTTPSessionTest, MayBeDestroyedFromItsOwnCompletion) {
    LoopbackServer server;
    auto* session = new HTTPSession();
    std::promise<void> done;
    session->dataTask(get(server.baseURL() + "/x"), [&](TransferResult) {
        delete session;
        done.set_value();
    });
    ASSERT_EQ(done.get_future().wait_for(std::chrono::seconds(20)), std::future_status::ready);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
}
