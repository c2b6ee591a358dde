#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "StorageTestSupport.h"

using namespace svsdk;
using namespace svsdk::testing;

// Read-modify-write operations from many threads, through two managers (two
// connections, as two processes would have) on one file: none is lost, and
// the store is opened once per manager however many threads arrive first.
TEST(CoreDataManagerConcurrencyTest, OperationsOfManyThreadsTakeTurns) {
    ScopedPlatform platform(SVLoggingOptions::debug);
    CoreDataManager::Info info{build::kDatabaseResourceName, build::kModelResourceName};
    CoreDataManager managers[2] = {CoreDataManager(info), CoreDataManager(info)};
    for (auto& manager : managers) manager.setDatabaseURL(platform.dir().file("store.sqlite"));
    std::vector<std::thread> workers;
    for (int t = 0; t < 8; ++t)
        workers.emplace_back([&, t] {
            for (int i = 0; i < 25; ++i)
                managers[t % 2].performTransaction([](StoreContext& context) {
                    SVUserEntity counter;
                    counter = context.fetchUserEntity("").value_or(counter);
                    counter.storageID = "", counter.flags = integerOrZero(counter.flags) + 1;
                    counter.objectID ? context.update(counter) : context.insert(counter);
                });
        });
    for (auto& w : workers) w.join();
    EXPECT_EQ(managers[0].performTransaction([](StoreContext& c) { return c.fetchUserEntity("")->flags; }), 200);
    int opened = 0;
    for (const auto& e : platform.log().entries()) opened += e.message == "Making the Managed Object Context";
    EXPECT_EQ(opened, 2);
}

// The existence check and the insert of a new user are one transaction:
// racing stores of one user make one row.
TEST(StorageManagerConcurrencyTest, RacingStoresOfOneUserMakeOneRow) {
    StorageEnvironment env;
    SVUser user = activatedUser("u1", "S1");
    StorageEnvironment::activate(user);
    std::atomic<int> succeeded{0}, unexpected{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i)
        threads.emplace_back([&] {
            // A later store finds the row; its handles may already be gone.
            int result = errorCode([&] { env.storage().store(user, "n", std::string("Secret-Pass-42")); });
            (result == -2 ? succeeded : unexpected) += result != code(SVError::Code::handleInvalid);
        });
    for (auto& t : threads) t.join();
    EXPECT_TRUE(succeeded >= 1 && unexpected == 0 && env.rows() == "1,0");
}
