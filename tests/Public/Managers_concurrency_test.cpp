// Threads storing, unlocking, signing for and deleting one user at once: the
// user ends stored whole (row, signing pair, unlockable) or removed whole.
#include <gtest/gtest.h>

#include <thread>

#include <svsdk/Common/SVSDK.h>

#include "Core/Security/SecureEnclave.h"
#include "support/Road.h"
#include "support/TestEnvironment.h"

namespace svsdk::testing {

template <class Step>
bool attempt(Step step) {
    try {
        return step(), true;
    } catch (...) {
        return false;
    }
}

TEST(ManagersConcurrencyTest, OneUserEndsStoredWholeOrRemovedWhole) {
    ScopedPlatform platform;
    SVSDK::initialize(platform.dir().file("concurrency.sqlite"), std::nullopt, SVSDK::Mode::app());
    removeAllUsers();
    StandinServer server;
    const std::string password = "secret-1";
    for (int round = 0; round < 3; ++round) {
        auto issued = server.issueUser({{"system_id", "conc-" + std::to_string(getpid()) + "-" + std::to_string(round)}, {"encrypted", false}});
        SVUsersManager::store(SVUsersManager::importUser(issued.qr).value(), std::string("n"), password);
        SVUser user = SVUsersManager::users().front();
        ASSERT_TRUE(completed<void>([&](auto c) { SVUsersManager::registerUser(user, "tok", c); }).ok());
        std::vector<std::string> ids;
        for (int i = 0; i < 4; ++i) ids.push_back(server.addTransaction({{"user_id", issued.userID}}));
        std::vector<Recorder<void>> signatures(ids.size());
        std::vector<std::thread> threads;
        threads.emplace_back([&] {
            for (int i = 0; i < 4; ++i) attempt([&] { SVUsersManager::submit(password, user); });
        });
        threads.emplace_back([&] {
            for (int i = 0; i < 4; ++i) attempt([&] { SVUsersManager::store(user, "name " + std::to_string(i), std::nullopt); });
        });
        threads.emplace_back([&] {
            for (std::size_t i = 0; i < ids.size(); ++i)
                SVTransactionsManager::sign(SVTransaction(ids[i], issued.userID, issued.systemID, 0, false,
                                                          SVConfirmationType::online, std::string("x")),
                                            user, signatures[i].completion());
        });
        threads.emplace_back([&] {
            if (round == 2) return;  // one round keeps the user
            std::this_thread::sleep_for(std::chrono::milliseconds(round * 5));
            attempt([&] { SVUsersManager::deleteUser(user); });
        });
        for (auto& thread : threads) thread.join();
        for (auto& signature : signatures) EXPECT_EQ((signature.wait(), signature.calls()), 1);
        auto users = SVUsersManager::users();
        EXPECT_EQ(attempt([&] { SecureEnclave::users().retrieveKeyPair(user.uniqueID()); }), !users.empty()) << round;
        if (!users.empty()) {
            EXPECT_TRUE(attempt([&] { SVUsersManager::submit(password, users.front()); })) << round;
            SVUsersManager::deleteUser(users.front());
        }
        EXPECT_FALSE(attempt([&] { SecureEnclave::autosign().retrieveKeyPair(user.uniqueID()); }));
    }
}

}  // namespace svsdk::testing
