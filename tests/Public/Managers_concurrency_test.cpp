// Several threads calling the managers for one user at once: store, unlock,
// sign and delete. The user ends stored whole (row, signing pair, unlockable
// with its password) or removed whole (no row, no pair).
#include <gtest/gtest.h>

#include <thread>

#include <svsdk/Common/SVSDK.h>

#include "Core/Security/SecureEnclave.h"
#include "support/Road.h"
#include "support/TestEnvironment.h"

namespace svsdk::testing {
namespace {

bool hasPair(SecureEnclave& store, const SVUser& user) {
    try {
        store.retrieveKeyPair(user.uniqueID());
        return true;
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
        auto issued = server.issueUser({{"system_id", "conc-" + std::to_string(getpid()) + "-" + std::to_string(round)}});
        auto imported = SVUsersManager::importUser(issued.qr).value();
        SVUsersManager::activate(imported, issued.activationCode);
        SVUsersManager::store(imported, std::string("n"), password);
        SVUser user = SVUsersManager::users().front();
        ASSERT_TRUE(completed<void>([&](auto c) { SVUsersManager::registerUser(user, "tok", c); }).ok());
        std::vector<std::string> ids;
        for (int i = 0; i < 4; ++i) ids.push_back(server.addTransaction({{"user_id", issued.userID}}));

        std::vector<Recorder<void>> signatures(ids.size());
        std::vector<std::thread> threads;
        threads.emplace_back([&] {
            for (int i = 0; i < 4; ++i) try {
                    SVUsersManager::submit(password, user);
                } catch (...) {
                }
        });
        threads.emplace_back([&] {
            for (int i = 0; i < 4; ++i) try {
                    SVUsersManager::store(user, "name " + std::to_string(i), std::nullopt);
                } catch (...) {
                }
        });
        threads.emplace_back([&] {
            for (std::size_t i = 0; i < ids.size(); ++i) {
                SVTransaction transaction(ids[i], issued.userID, issued.systemID, 0, false,
                                          SVConfirmationType::online, std::string("x"));
                SVTransactionsManager::sign(transaction, user, signatures[i].completion());
            }
        });
        threads.emplace_back([&] {
            if (round == 2) return;  // one round keeps the user
            std::this_thread::sleep_for(std::chrono::milliseconds(round * 5));
            try {
                SVUsersManager::deleteUser(user);
            } catch (...) {
            }
        });
        for (auto& thread : threads) thread.join();
        for (auto& signature : signatures) {
            signature.wait();
            EXPECT_EQ(signature.calls(), 1);
        }

        auto users = SVUsersManager::users();
        bool stored = !users.empty();
        EXPECT_EQ(hasPair(SecureEnclave::users(), user), stored) << "round " << round;
        if (stored) {
            EXPECT_NO_THROW(SVUsersManager::submit(password, users.front())) << "round " << round;
            SVUsersManager::deleteUser(users.front());
        }
        EXPECT_FALSE(hasPair(SecureEnclave::autosign(), user));
    }
}

}  // namespace
}  // namespace svsdk::testing
