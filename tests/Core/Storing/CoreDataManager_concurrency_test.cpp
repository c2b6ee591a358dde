#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "BuildConstants.h"
#include "Core/Storing/CoreDataManager.h"
#include "support/TestEnvironment.h"

using namespace svsdk;
using svsdk::testing::ScopedPlatform;

// Read-modify-write operations from many threads, through two managers (two
// connections, as two processes would have) on one file: none is lost, and
// the store is opened once per manager however many threads arrive first.
TEST(CoreDataManagerConcurrencyTest, OperationsOfManyThreadsTakeTurns) {
    ScopedPlatform platform(SVLoggingOptions::debug);
    std::string path = platform.dir().file("store.sqlite");
    CoreDataManager first({build::kDatabaseResourceName, build::kModelResourceName});
    CoreDataManager second({build::kDatabaseResourceName, build::kModelResourceName});
    first.setDatabaseURL(path);
    second.setDatabaseURL(path);
    first.performTransaction([](StoreContext& context) {
        SVUserEntity counter;
        counter.storageID = "counter";
        counter.flags = 0;
        context.insert(counter);
    });

    constexpr int threads = 8;
    constexpr int rounds = 25;
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t)
        workers.emplace_back([&, t] {
            CoreDataManager& manager = t % 2 ? first : second;
            for (int i = 0; i < rounds; ++i)
                manager.performTransaction([](StoreContext& context) {
                    auto counter = context.fetchUserEntity("counter");
                    counter->flags = integerOrZero(counter->flags) + 1;
                    context.update(*counter);
                });
        });
    for (auto& w : workers) w.join();

    auto total = first.performTransaction(
        [](StoreContext& context) { return integerOrZero(context.fetchUserEntity("counter")->flags); });
    EXPECT_EQ(total, threads * rounds);
    int opened = 0;
    for (const auto& e : platform.log().entries()) opened += e.message == "Making the Managed Object Context";
    EXPECT_EQ(opened, 2);
}
