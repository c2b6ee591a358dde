// The secret cache, the device pair and the fingerprint used from many threads
// at once, as the host's threads, the network thread and the lifecycle entry
// points do.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <set>
#include <thread>
#include <vector>

#include <svsdk/SVApplicationLifecycle.h>
#include <svsdk/SVError.h>

#include "Platform/HostState.h"
#include "Core/Security/Cryptor.h"
#include "Core/Security/HandlesManager.h"
#include "Core/Security/Keychain.h"
#include "Core/Security/SecureEnclave.h"
#include "support/SigningUser.h"
#include "support/TestEnvironment.h"

using namespace svsdk;
using svsdk::testing::ScopedPlatform;

TEST(KeysConcurrencyTest, CacheIsNeverReadHalfUpdatedAndCodesAgree) {
    ScopedPlatform platform;
    HandlesManager handles;
    handles.startObserving();
    std::atomic<bool> stop{false};
    std::atomic<int> mismatches{0};
    // The digest and MAC objects are shared by every thread.
    const Bytes block = bytesOf("a block signed from many threads");
    const auto code = Cryptor::hmac(block, block);
    const Bytes digest = Cryptor::sha256(block);
    std::vector<std::thread> threads;
    for (int u = 0; u < 4; ++u) {
        threads.emplace_back([&, u] {
            const SVUser owner = svsdk::testing::makeUser("user-" + std::to_string(u), 0, 180, 180,
                                                          "storage-" + std::to_string(u));
            for (int round = 0; round < 150; ++round) {
                for (auto type : {HandleType::auth, HandleType::hmac, HandleType::password, HandleType::deviceToken}) {
                    // Each value names its writer, type and round, 32 bytes long.
                    std::string prefix = std::to_string(u) + ":" + handleTypeName(type) + ":";
                    std::string text = prefix + std::to_string(round);
                    text.resize(32, '.');
                    handles.add(bytesOf(text), type, owner);
                    // Absent after a concurrent drop is fine; anything present is
                    // a whole value this writer stored for this user and type.
                    if (auto read = handles.handle(type, owner))
                        mismatches += read->size() != 32 || stringOf(*read).rfind(prefix, 0) != 0;
                    if (round % 7 == 0) handles.remove(type, owner);
                    mismatches += Cryptor::hmac(block, block) != code || Cryptor::sha256(block) != digest;
                }
            }
        });
    }
    threads.emplace_back([&] {
        while (!stop) {
            SVApplicationLifecycle::willResignActive();
            SVApplicationLifecycle::didBecomeActive();
            handles.setHandlesBackgroundTimeout(0);
            SVApplicationLifecycle::willResignActive();
            SVApplicationLifecycle::didBecomeActive();
            handles.setHandlesBackgroundTimeout(15);
            SVApplicationLifecycle::willTerminate();
        }
    });
    for (int i = 0; i < 4; ++i) threads[static_cast<std::size_t>(i)].join();
    stop = true;
    threads.back().join();
    handles.stopObserving();
    EXPECT_EQ(mismatches.load(), 0);
}

TEST(KeysConcurrencyTest, ConcurrentFirstUsersAgreeOnOneDevicePairAndFingerprint) {
    ScopedPlatform platform;
    HostState::setHostBundleIdentifier("org.example.host");
    Keychain::resetDeviceFingerprint();
    std::vector<std::string> seen(6);
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < seen.size(); ++i)
        threads.emplace_back([&, i] {
            SecureEnclave::local().checkLocalKeyPair();
            seen[i] = SecureEnclave::local().retrieveKeyPair("local").publicKey.spkiHexString() + "|" +
                      Keychain::deviceFingerprint();
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(std::set<std::string>(seen.begin(), seen.end()).size(), 1u);
    EXPECT_EQ(seen[0].size(), 182u + 1 + 64);
    HostState::setHostBundleIdentifier(std::nullopt);
    Keychain::resetDeviceFingerprint();
}

// A look-up that read a key just before its removal must not put it back into
// the parse cache once the removal has emptied it.
TEST(KeysConcurrencyTest, ARemovedKeyIsNotLeftInTheParseCacheByLookUpsBesideTheRemoval) {
    ScopedPlatform platform;
    // In memory where the system allows, so that a removal is as quick as a look-up's parse.
    svsdk::testing::TempDir memory("/dev/shm");
    auto config = platform.configuration();
    config.keychainPath = memory.file("keychain.sqlite");
    platform.apply(config);
    SecureEnclave& store = SecureEnclave::users();
    std::atomic<bool> stop{false};
    std::vector<std::thread> readers;
    for (int i = 0; i < 4; ++i)
        readers.emplace_back([&] {
            while (!stop) {
                try {
                    store.retrieveKeyPair("raced");
                } catch (const SVError&) {
                    // Between a removal and the next pair.
                }
            }
        });
    int kept = 0;
    for (int round = 0; round < 150; ++round) {
        store.generateKeyPair("raced");
        KeyQuery query;
        query.applicationTag = bytesOf(store.applicationTag());
        query.applicationLabel = SecureEnclave::applicationLabel("raced");
        KeyItem item;
        ASSERT_EQ(KeychainStore::current().findKey(query, &item), errSecSuccess);
        std::this_thread::sleep_for(std::chrono::microseconds(round % 50));
        store.removeKeyPair("raced");
        // Look-ups still running cannot read it any more; give those in flight time to finish.
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        kept += SecureEnclave::holdsParsedKey(item.keyData);
    }
    stop = true;
    for (auto& reader : readers) reader.join();
    EXPECT_EQ(kept, 0);
}
