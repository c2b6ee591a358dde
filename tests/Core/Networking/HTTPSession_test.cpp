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

URLRequest get(const std::string& url) {
    URLRequest request;
    request.url = url;
    request.timeoutInterval = 10;
    return request;
}

}  // namespace

TEST(HTTPSessionTest, SendsTheRequestAsWrittenFollowsNoRedirectAndFetchesOnlyHttp) {
    LoopbackServer server;
    ScriptedAnswer answer = ScriptedAnswer::json(201, R"({"ok":true})");
    answer.headers = {{"X-Answer", "yes"}, {"Location", server.baseURL() + "/elsewhere"}};
    const std::string path = "/a/../b/%2E%2E/c%2Fd";  // no dot-segment is collapsed
    server.answer("PATCH", path, answer);
    HTTPSession session;

    URLRequest request = get(server.baseURL() + path + "?x=1");
    request.httpMethod = "PATCH";
    request.headers.set("SV-Authorization", "old");
    request.headers.add("sv-authorization", "older");
    request.headers.set("Content-Type", "application/json");
    request.headers.set("sv-AUTHORIZATION", "abc");  // a name in any case replaces every field of it
    request.httpBody = bytesOf(R"({"k":"v"})");
    EXPECT_EQ(request.headers.size(), 2u);
    EXPECT_EQ(request.headers.value("SV-Authorisation"), std::nullopt);
    Outcome outcome = perform(session, request);

    EXPECT_TRUE(outcome.onNetworkThread);
    EXPECT_FALSE(session.isCurrent());
    ASSERT_FALSE(outcome.result.error) << outcome.result.error->what();
    EXPECT_EQ(outcome.result.response->statusCode, 201);
    EXPECT_EQ(outcome.result.response->headers.value("x-answer"), "yes");
    EXPECT_EQ(stringOf(outcome.result.data.value()), R"({"ok":true})");

    perform(session, get(server.baseURL() + "/again"));
    auto received = server.requests();
    ASSERT_EQ(received.size(), 2u) << "no redirect followed";
    EXPECT_EQ(received[0].method + " " + received[0].path, "PATCH " + path + "?x=1");
    EXPECT_EQ(received[0].headerCount("SV-Authorization"), 1u);
    EXPECT_EQ(received[0].header("SV-Authorization"), "abc");
    EXPECT_EQ(received[0].header("Content-Type"), "application/json");
    EXPECT_FALSE(received[0].header("Expect"));
    EXPECT_EQ(received[0].body, R"({"k":"v"})");
    EXPECT_EQ(received[0].remotePort, received[1].remotePort) << "the connection is kept alive";

    URLRequest injected = get(server.baseURL() + "/x");
    injected.headers.set("X-Evil", "a\r\nHost: elsewhere");
    for (const URLRequest& refused : {get("dict://127.0.0.1:" + std::to_string(server.port()) + "/x"), injected}) {
        Outcome failed = perform(session, refused);
        EXPECT_TRUE(failed.result.error && !failed.result.response && !failed.result.data) << refused.url;
    }
    EXPECT_EQ(server.requestCount(), 2u);
}

TEST(HTTPSessionTest, StoppingDropsTransfersInFlightAndItMayBeDestroyedFromItsOwnCompletion) {
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

    auto* session = new HTTPSession();
    std::promise<void> done;
    session->dataTask(get(server.baseURL() + "/x"), [&](TransferResult) {
        delete session;
        done.set_value();
    });
    ASSERT_EQ(done.get_future().wait_for(std::chrono::seconds(20)), std::future_status::ready);
    // The thread goes on after the completion; it must not touch what was freed (ASan).
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
}
