// The keychain store's one connection per path, used by many threads at once.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "Core/Security/SecureEnclave.h"
#include "Platform/KeychainStore.h"
#include "support/TestEnvironment.h"

using namespace svsdk;

TEST(KeychainStoreConcurrencyTest, ThreadsReadAndWriteKeyItemsThroughTheSharedConnection) {
    svsdk::testing::ScopedPlatform platform;
    constexpr int kThreads = 8, kRounds = 23;  // the last round leaves an item
    auto query = [](int thread) {
        KeyQuery q;
        q.applicationTag = bytesOf("org.svsdk.tests.concurrency"), q.applicationLabel = bytesOf(std::to_string(thread));
        return q;
    };
    auto item = [](int thread, int round) {
        KeyItem i;
        i.applicationTag = bytesOf("org.svsdk.tests.concurrency"), i.applicationLabel = bytesOf(std::to_string(thread));
        i.keyData = bytesOf(std::to_string(thread) + ":" + std::to_string(round));
        return i;
    };
    auto data = [](const KeyItem& i) { return stringOf(i.keyData); };
    std::atomic<int> failures{0};
    std::vector<std::string> pairs(kThreads), readPairs(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            auto store = KeychainStore::current();
            int next = (t + 1) % kThreads;
            for (int round = 0; round < kRounds; ++round) {
                auto mine = item(t, round);
                OSStatus written = round % 5 ? store.replaceKeys(query(t), mine) : store.addKey(mine);
                // Its own item reads back as last written; a neighbour's is absent or whole.
                KeyItem own, other;
                OSStatus found = store.findKey(query(next), &other);
                failures += written != errSecSuccess || store.findKey(query(t), &own) != errSecSuccess ||
                            data(own) != data(mine) ||
                            (found == errSecSuccess ? data(other).rfind(std::to_string(next) + ":", 0) != 0
                                                    : found != errSecItemNotFound) ||
                            (round % 5 == 4 && store.deleteKeys(query(t)) != errSecSuccess);
            }
            // Pairs made and read back through the shared connection and the cache of parsed keys.
            auto label = "pair-" + std::to_string(t);
            pairs[t] = SecureEnclave::users().generateKeyPair(label).publicKey.spkiHexString();
            for (int i = 0; i < 3; ++i)
                readPairs[t] = SecureEnclave::users().retrieveKeyPair(label).publicKey.spkiHexString();
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(readPairs, pairs);
    for (int t = 0; t < kThreads; ++t) {
        KeyItem found;
        EXPECT_TRUE(KeychainStore::current().findKey(query(t), &found) == errSecSuccess &&
                    data(found) == data(item(t, kRounds - 1)));
    }
}
