#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "StorageTestSupport.h"

using namespace svsdk;
using namespace svsdk::testing;

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
