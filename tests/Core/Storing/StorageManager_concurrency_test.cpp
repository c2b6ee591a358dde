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
    std::atomic<int> succeeded{0};
    std::atomic<int> unexpected{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i)
        threads.emplace_back([&] {
            // A later store finds the row; its handles may already be gone.
            int result = errorCode([&] { env.storage().store(user, "n", std::string("Secret-Pass-42")); });
            if (result == -2)
                ++succeeded;
            else if (result != code(SVError::Code::handleInvalid))
                ++unexpected;
        });
    for (auto& t : threads) t.join();
    EXPECT_GE(succeeded.load(), 1);
    EXPECT_EQ(unexpected.load(), 0);
    EXPECT_EQ(env.userRows(), 1u);
}

TEST(StorageManagerConcurrencyTest, StoringRenewingAndListingFromManyThreads) {
    StorageEnvironment env;
    constexpr int kUsers = 6;
    std::vector<SVUser> users;
    for (int i = 0; i < kUsers; ++i) {
        users.push_back(activatedUser("u" + std::to_string(i), "S" + std::to_string(i)));
        StorageEnvironment::activate(users.back());
    }
    std::atomic<bool> done{false};
    std::atomic<int> failures{0};
    std::thread lister([&] {
        while (!done) {
            for (const auto& listed : env.storage().users())
                if (listed.userVersion() != 3) ++failures;
        }
    });
    std::vector<std::thread> writers;
    for (int i = 0; i < kUsers; ++i)
        writers.emplace_back([&, i] {
            const SVUser& user = users[i];
            try {
                env.storage().store(user, "n", std::string("Secret-Pass-42"));
                UserKeys keys{numbered(32, static_cast<std::uint8_t>(i)), numbered(32, 0x80)};
                env.storage().storeRenewed(user, keys, "Renewed-Pass-1", user);
            } catch (...) {
                ++failures;
            }
        });
    for (auto& t : writers) t.join();
    done = true;
    lister.join();
    EXPECT_EQ(failures.load(), 0);
    ASSERT_EQ(env.storage().users().size(), static_cast<std::size_t>(kUsers));
    for (int i = 0; i < kUsers; ++i) {
        auto entity = env.entity("S" + std::to_string(i)).value();
        EXPECT_EQ(StorageEnvironment::storedKAuth(entity), numbered(32, static_cast<std::uint8_t>(i)));
    }
}
