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
using svsdk::testing::ScopedPlatform;

namespace {

KeyQuery queryFor(int thread) {
    KeyQuery query;
    query.applicationTag = bytesOf("org.svsdk.tests.concurrency");
    query.applicationLabel = bytesOf("thread-" + std::to_string(thread));
    return query;
}

KeyItem itemFor(int thread, int round) {
    KeyItem item;
    item.applicationTag = bytesOf("org.svsdk.tests.concurrency");
    item.applicationLabel = bytesOf("thread-" + std::to_string(thread));
    item.keyData = bytesOf(std::to_string(thread) + ":" + std::to_string(round));
    return item;
}

}  // namespace

TEST(KeychainStoreConcurrencyTest, ThreadsReadAndWriteKeyItemsThroughTheSharedConnection) {
    ScopedPlatform platform;
    constexpr int kThreads = 8;
    constexpr int kRounds = 23;  // the last round leaves an item
    std::atomic<int> failures{0};
    std::vector<std::string> pairs(kThreads);
    std::vector<std::string> readPairs(kThreads);

    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            auto store = KeychainStore::current();
            for (int round = 0; round < kRounds; ++round) {
                OSStatus written = round % 5 == 0 ? store.addKey(itemFor(t, round))
                                                  : store.replaceKeys(queryFor(t), itemFor(t, round));
                // Its own item reads back as last written.
                KeyItem own;
                if (written != errSecSuccess || store.findKey(queryFor(t), &own) != errSecSuccess ||
                    stringOf(own.keyData) != std::to_string(t) + ":" + std::to_string(round))
                    ++failures;
                // A neighbour's item is absent or whole.
                KeyItem other;
                int next = (t + 1) % kThreads;
                OSStatus found = store.findKey(queryFor(next), &other);
                if (found == errSecSuccess ? stringOf(other.keyData).rfind(std::to_string(next) + ":", 0) != 0
                                           : found != errSecItemNotFound)
                    ++failures;
                if (round % 5 == 4 && store.deleteKeys(queryFor(t)) != errSecSuccess) ++failures;
            }
            // Pairs made and read back from many threads, through the shared
            // connection and the cache of parsed keys.
            std::string label = "pair-" + std::to_string(t);
            auto index = static_cast<std::size_t>(t);
            pairs[index] = SecureEnclave::users().generateKeyPair(label).publicKey.spkiHexString();
            for (int i = 0; i < 3; ++i)
                readPairs[index] = SecureEnclave::users().retrieveKeyPair(label).publicKey.spkiHexString();
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(readPairs, pairs);
    for (int t = 0; t < kThreads; ++t) {
        KeyItem item;
        ASSERT_EQ(KeychainStore::current().findKey(queryFor(t), &item), errSecSuccess);
        EXPECT_EQ(stringOf(item.keyData), std::to_string(t) + ":" + std::to_string(kRounds - 1));
    }
}
