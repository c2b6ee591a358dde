#include <gtest/gtest.h>

#include <functional>
#include <new>
#include <string>
#include <vector>

#include "Core/Concurrency/Future.h"
#include "Core/Operations/Operations.h"
#include "support/TestEnvironment.h"

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

// An operation's completion runs once, whatever its work reports after the
// first result: a throw, another future, a future settled again. A completion
// that throws is logged and reaches neither the work nor the caller.
TEST(FutureTest, AnOperationCompletesOnceHoweverOftenItsWorkReports) {
    svsdk::testing::ScopedPlatform platform(SVLoggingOptions::debug);
    using Once = operations::OnceCompletion<int>;
    struct Row {
        const char* name;
        std::function<void(const Once&, const Promise<int>&, const Promise<int>&)> body;
        std::function<void(const Promise<int>&, const Promise<int>&)> later;
        int expected;  // the value passed on; 0 for a failure
        bool completionThrows = false;
    };
    auto none = [](const Promise<int>&, const Promise<int>&) {};
    const Row rows[] = {
        {"reports, then throws", [](auto& once, auto&, auto&) { once(1); throw SVError::internalError(); }, none, 1},
        {"throws while its future runs",
         [](auto& once, auto& a, auto&) { operations::deliver<int>(a, once); throw SVError::emptyName(); },
         [](auto& a, auto&) { a.resolve(2); }, 0},
        {"two futures",
         [](auto& once, auto& a, auto& b) { operations::deliver<int>(a, once), operations::deliver<int>(b, once); },
         [](auto& a, auto& b) { b.resolve(3), a.resolve(4); }, 3},
        {"a future settled twice", [](auto& once, auto& a, auto&) { operations::deliver<int>(a, once); },
         [](auto& a, auto&) { a.resolve(5), a.reject(SVError::emptyName()); }, 5},
        {"a completion that throws", [](auto& once, auto&, auto&) { once(6); }, none, 6, true},
    };
    for (const Row& row : rows) {
        Promise<int> a, b;
        std::vector<int> calls;
        EXPECT_NO_THROW(operations::run<int>(
            [&](const SVResult<int>& r) {
                calls.push_back(r.ok() ? r.value() : 0);
                if (row.completionThrows) throw std::runtime_error("host fault");
            },
            [&](const Once& once) { row.body(once, a, b); }));
        row.later(a, b);
        EXPECT_EQ(calls, std::vector<int>{row.expected}) << row.name;
    }
    EXPECT_TRUE(platform.log().contains(SVLogCategory::common, "A completion threw an error"));
}
