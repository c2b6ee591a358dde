#include <gtest/gtest.h>

#include <functional>
#include <new>
#include <string>
#include <vector>

#include "Core/Networking/Future.h"

using namespace svsdk;

namespace {

SVFailure failure() { return SVError::userNotFound(); }

}  // namespace

TEST(FutureTest, ObserversOfAPendingFutureRunOnceInOrderWhenItSettles) {
    Promise<int> promise;
    std::vector<std::string> calls;
    for (const char* name : {"a", "b", "c"})
        promise.observe([&calls, name](const SVResult<int>& r) { calls.push_back(name + std::to_string(r.value())); });
    EXPECT_TRUE(calls.empty());
    EXPECT_FALSE(promise.isSettled());

    promise.resolve(7);
    EXPECT_EQ(calls, (std::vector<std::string>{"a7", "b7", "c7"}));
    // The first settlement wins; nobody is called again.
    promise.resolve(8);
    promise.reject(failure());
    EXPECT_EQ(calls.size(), 3u);
    EXPECT_EQ(promise.result()->value(), 7);

    // Observing a settled future calls back before observe returns.
    bool called = false;
    promise.observe([&](const SVResult<int>& r) { called = r.value() == 7; });
    EXPECT_TRUE(called);

    // Promises made settled.
    EXPECT_EQ(Promise<int>::resolved(3).result()->value(), 3);
    EXPECT_TRUE(Promise<void>::resolved().result()->ok());
    EXPECT_TRUE(Promise<int>::rejected(failure()).result()->error().is(SVError::Code::userNotFound));
}

TEST(FutureTest, ChainedPassesValuesAndStopsAtTheFirstError) {
    Promise<int> source;
    int stepCalls = 0;
    auto chained = source.chained([&](int v) {
        ++stepCalls;
        return Promise<std::string>::resolved(std::to_string(v * 2));
    });
    EXPECT_FALSE(chained.isSettled());
    source.resolve(21);
    EXPECT_EQ(chained.result()->value(), "42");

    // A failed source never calls the step.
    auto skipped = Promise<int>::rejected(failure()).chained([&](int) {
        ++stepCalls;
        return Promise<int>::resolved(0);
    });
    EXPECT_TRUE(skipped.result()->error().is(SVError::Code::userNotFound));
    EXPECT_EQ(stepCalls, 1);

    // A throwing step and a step whose future fails.
    auto thrown = Promise<int>::resolved(1).chained([](int) -> Future<int> { throw SVError::emptyName(); });
    EXPECT_TRUE(thrown.result()->error().is(SVError::Code::emptyName));
    auto failedStep = Promise<int>::resolved(1).chained(
        [](int) -> Future<int> { return Promise<int>::rejected(SVNetworkError(SVNetworkError::Code::invalidHmac)); });
    EXPECT_TRUE(failedStep.result()->error().is(SVNetworkError::Code::invalidHmac));

    // The step's future may settle later.
    Promise<int> later;
    auto waiting = Promise<void>::resolved().chained([&] { return later; });
    EXPECT_FALSE(waiting.isSettled());
    later.resolve(5);
    EXPECT_EQ(waiting.result()->value(), 5);
}

TEST(FutureTest, TransformedMapsOrFailsWithTheMapsError) {
    EXPECT_EQ(Promise<int>::resolved(4).transformed([](int v) { return v + 1; }).result()->value(), 5);
    auto thrown = Promise<int>::resolved(4).transformed([](int) -> int { throw SVError::invalidQR(); });
    EXPECT_TRUE(thrown.result()->error().is(SVError::Code::invalidQR));
    auto failed = Promise<int>::rejected(failure()).transformed([](int v) { return v; });
    EXPECT_TRUE(failed.result()->error().is(SVError::Code::userNotFound));
    // Anything else thrown, of a type the SDK does not know too, fails it once.
    struct Foreign {};
    for (const auto& map : std::vector<std::function<int(int)>>{[](int) -> int { throw std::bad_alloc(); },
                                                                [](int) -> int { throw Foreign{}; }}) {
        int failures = 0;
        Promise<int> source;
        auto mapped = source.transformed(map);
        mapped.observe([&](const SVResult<int>& r) { failures += r.ok() ? 100 : 1; });
        source.resolve(4);
        EXPECT_EQ(failures, 1);
        EXPECT_TRUE(mapped.result()->error().is<SVPlatformError>());
    }
    // A map to nothing gives a future of void.
    Future<void> nothing = Promise<int>::resolved(1).transformed([](int) {});
    EXPECT_TRUE(nothing.result()->ok());
}

TEST(FutureTest, FailureHandledRunsTheHandlerBeforeFailingAndNeverOnSuccess) {
    std::vector<std::string> order;
    Promise<void> source;
    auto handled = source.failureHandled([&](const SVFailure& e) {
        order.push_back(std::string("handler:") + (e.is(SVError::Code::internalError) ? "internal" : "other"));
    });
    handled.observe([&](const SVResult<void>& r) { order.push_back(r.ok() ? "ok" : "failed"); });
    source.reject(SVError::internalError());
    EXPECT_EQ(order, (std::vector<std::string>{"handler:internal", "failed"}));
    EXPECT_TRUE(handled.result()->error().is(SVError::Code::internalError));

    bool called = false;
    auto fine = Promise<void>::resolved().failureHandled([&](const SVFailure&) { called = true; });
    EXPECT_TRUE(fine.result()->ok());
    EXPECT_FALSE(called);
}

TEST(FutureTest, AThrowingCallbackDoesNotStopTheOthers) {
    Promise<int> promise;
    int calls = 0;
    promise.observe([](const SVResult<int>&) { throw std::runtime_error("observer failed"); });
    promise.observe([&](const SVResult<int>&) { ++calls; });
    promise.resolve(1);
    EXPECT_EQ(calls, 1);
}
