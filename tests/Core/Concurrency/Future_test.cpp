#include <gtest/gtest.h>

#include <functional>
#include <new>
#include <string>
#include <vector>

#include "Core/Concurrency/Future.h"

using namespace svsdk;

TEST(FutureTest, ObserversRunOnceInOrderAndTheFirstSettlementWins) {
    Promise<int> promise;
    std::vector<std::string> calls;
    for (const char* name : {"a", "b", "c"})
        promise.observe([&calls, name](const SVResult<int>& r) { calls.push_back(name + std::to_string(r.value())); });
    promise.observe([](const SVResult<int>&) { throw std::runtime_error("an observer failed"); });
    EXPECT_FALSE(promise.isSettled());
    promise.resolve(7);
    promise.resolve(8);
    promise.reject(SVError::userNotFound());
    promise.observe([&](const SVResult<int>& r) { calls.push_back("late" + std::to_string(r.value())); });
    EXPECT_EQ(calls, (std::vector<std::string>{"a7", "b7", "c7", "late7"}));
}

// Each step: what it gives for a value, and that a failure passes it by.
TEST(FutureTest, StepsMapValuesAndPassFailuresOn) {
    int calls = 0;
    auto doubled = [&](int v) { return ++calls, Promise<std::string>::resolved(std::to_string(v * 2)); };
    Promise<int> source;
    auto chained = source.chained(doubled);
    EXPECT_FALSE(chained.isSettled());
    source.resolve(21);
    EXPECT_EQ(chained.result()->value(), "42");
    EXPECT_TRUE(Promise<int>::rejected(SVError::userNotFound()).chained(doubled).result()->error().is(
        SVError::Code::userNotFound));
    EXPECT_EQ(calls, 1);

    auto thrown = Promise<int>::resolved(1).chained([](int) -> Future<int> { throw SVError::emptyName(); });
    EXPECT_TRUE(thrown.result()->error().is(SVError::Code::emptyName));
    Promise<int> later;
    auto waiting = Promise<void>::resolved().chained([&] { return later; });
    EXPECT_FALSE(waiting.isSettled());
    later.reject(SVNetworkError(SVNetworkError::Code::invalidHmac));
    EXPECT_TRUE(waiting.result()->error().is(SVNetworkError::Code::invalidHmac));

    EXPECT_EQ(Promise<int>::resolved(4).transformed([](int v) { return v + 1; }).result()->value(), 5);
    auto thrownMap = Promise<int>::resolved(4).transformed([](int) -> int { throw SVError::invalidQR(); });
    EXPECT_TRUE(thrownMap.result()->error().is(SVError::Code::invalidQR));
    // Anything else thrown, of a type the SDK does not know too, fails the step once.
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
    auto failed = Promise<int>::rejected(SVError::userNotFound()).transformed([](int v) { return v; });
    EXPECT_TRUE(failed.result()->error().is(SVError::Code::userNotFound));
    EXPECT_TRUE(Promise<int>::resolved(1).transformed([](int) {}).result()->ok());

    std::vector<std::string> order;
    Promise<void> failing;
    auto handled = failing.failureHandled([&](const SVFailure& e) { order.push_back(e.description()); });
    handled.observe([&](const SVResult<void>& r) { order.push_back(r.ok() ? "ok" : "failed"); });
    failing.reject(SVError::internalError());
    EXPECT_EQ(order, (std::vector<std::string>{SVFailure(SVError::internalError()).description(), "failed"}));
    EXPECT_TRUE(Promise<void>::resolved().failureHandled([&](const SVFailure&) { order.clear(); }).result()->ok());
    EXPECT_EQ(order.size(), 2u);
}
