#include <gtest/gtest.h>

#include <sys/stat.h>

#include "Platform/HostState.h"
#include "Core/Security/Cryptor.h"
#include "Core/Security/Keychain.h"
#include "Core/Utilities/Encoding.h"
#include "Core/Utilities/OptionalString.h"
#include "Platform/Device.h"
#include "Platform/KeychainStore.h"
#include "support/TestEnvironment.h"

using namespace svsdk;
using svsdk::testing::ScopedPlatform;

namespace {

constexpr const char* kHost = "org.example.host";
const std::string kVendor = "00000000-0000-4000-8000-000000000001";  // the test configuration's

// Sets the host state for one test and clears it afterwards.
struct ScopedHost {
    explicit ScopedHost(std::optional<std::string> host, std::optional<std::string> group = std::nullopt) {
        HostState::setHostBundleIdentifier(std::move(host));
        HostState::setAccessGroup(std::move(group));
        Keychain::resetDeviceFingerprint();
    }
    ~ScopedHost() {
        HostState::setHostBundleIdentifier(std::nullopt);
        HostState::setAccessGroup(std::nullopt);
        Keychain::resetDeviceFingerprint();
    }
};

std::optional<PasswordItem> item(const std::string& service, const std::string& account,
                                 std::optional<std::string> group = std::nullopt) {
    PasswordItem result;
    if (KeychainStore::current().findPassword({service, account, std::move(group)}, &result) != errSecSuccess)
        return std::nullopt;
    return result;
}

void put(const std::string& account, const Bytes& value, const std::string& service = kHost) {
    ASSERT_EQ(KeychainStore::current().addPassword({service, account, std::nullopt}, value,
                                                   KeychainAccessibility::afterFirstUnlock),
              errSecSuccess);
}

std::string expectedFingerprint(const std::string& vendor) {
    std::string identifier = vendor + "/" + UIDevice::modelIdentifier();
    return hexString(Cryptor::sha256(identifier.data(), identifier.size()));
}

}  // namespace

TEST(KeychainTest, ReadSaveDeleteAndTheirMessages) {
    ScopedPlatform platform(SVLoggingOptions::debug);
    auto& keychain = Keychain::shared();
    auto logged = [&](SVLogCategory category, const std::string& text) { return platform.log().contains(category, text); };
    EXPECT_FALSE(keychain.read("svc", "acc", std::nullopt).has_value());
    EXPECT_TRUE(logged(SVLogCategory::keychain, "Retrieving the item from the \"acc\" account"));
    EXPECT_TRUE(logged(SVLogCategory::keychain,
                       "Could not retrieve the item from the keychain. OSStatus: The specified item could not be "
                       "found in the keychain. (-25300)"));

    keychain.save("svc", "acc", "first", std::nullopt, false);
    EXPECT_TRUE(logged(SVLogCategory::keychain, "Saving the item into the \"acc\" account"));
    EXPECT_TRUE(logged(SVLogCategory::debug, "The item has been successfully created and saved"));
    EXPECT_EQ(keychain.read("svc", "acc", std::nullopt), "first");
    EXPECT_EQ(item("svc", "acc")->accessible, KeychainAccessibility::afterFirstUnlock);

    // Saving again updates the value and resets the accessibility, without the creation message.
    platform.log().clear();
    keychain.save("svc", "acc", "second", std::nullopt, true);
    EXPECT_FALSE(platform.log().anyContains("successfully created"));
    EXPECT_EQ(keychain.read("svc", "acc", std::nullopt), "second");
    EXPECT_EQ(item("svc", "acc")->accessible, KeychainAccessibility::afterFirstUnlockThisDeviceOnly);

    keychain.deleteItem("svc", "acc", std::nullopt);
    EXPECT_TRUE(logged(SVLogCategory::keychain, "Deleting item of the \"acc\" account"));
    EXPECT_FALSE(keychain.read("svc", "acc", std::nullopt).has_value());
    keychain.deleteItem("svc", "acc", std::nullopt);
    EXPECT_TRUE(logged(SVLogCategory::keychain, "Could not delete the item. OSStatus: "));

    // Values are read as UTF-8, an ill-formed sequence replaced.
    put("bad", Bytes{'o', 'k', 0xFF, '!'}, "svc");
    EXPECT_EQ(keychain.read("svc", "bad", std::nullopt), "ok\xEF\xBF\xBD!");
    keychain.save("svc", "good", "Grüße", std::nullopt, true);
    EXPECT_EQ(keychain.read("svc", "good", std::nullopt), "Grüße");

    // Failures are logged, never thrown.
    auto config = platform.configuration();
    config.keychainPath = platform.dir().path();  // a folder, not a file
    platform.apply(config);
    EXPECT_NO_THROW(keychain.save("svc", "acc", "x", std::nullopt, true));
    EXPECT_TRUE(logged(SVLogCategory::keychain, "Could not save the item. OSStatus: "));
}

TEST(DeviceFingerprintTest, WithoutAHostItIsEmptyUntilOneIsSetAndThenKept) {
    ScopedPlatform platform(SVLoggingOptions::debug);
    ScopedHost host(std::nullopt);
    EXPECT_EQ(Keychain::deviceFingerprint(), "");
    EXPECT_TRUE(platform.log().entries().empty());
    struct stat info {};
    EXPECT_NE(::stat(platform.configuration().keychainPath.c_str(), &info), 0) << "the store was never opened";

    // The empty value is not kept: once the host is known, it is computed.
    HostState::setHostBundleIdentifier(kHost);
    EXPECT_EQ(Keychain::deviceFingerprint(), expectedFingerprint(kVendor));
    // A computed value is kept for the process, whatever changes later.
    auto config = platform.configuration();
    config.vendorIdentifier = "11111111-1111-4111-8111-111111111111";
    platform.apply(config);
    ASSERT_TRUE(item(kHost, "svsdkFingerprint").has_value());
    KeychainStore::current().deletePasswords({kHost, "svsdkFingerprint", std::nullopt});
    EXPECT_EQ(Keychain::deviceFingerprint(), expectedFingerprint(kVendor));
}

TEST(DeviceFingerprintTest, NewFingerprintIsMadeFromVendorAndModelAndStored) {
    ScopedPlatform platform(SVLoggingOptions::debug);
    ScopedHost host(kHost, "team.group");
    const std::string model = UIDevice::modelIdentifier();
    EXPECT_FALSE(model.empty());
    EXPECT_EQ(model.find('\0'), std::string::npos);
    std::string fingerprint = Keychain::computeDeviceFingerprint();
    EXPECT_EQ(fingerprint, expectedFingerprint(kVendor));
    EXPECT_TRUE(platform.log().contains(SVLogCategory::common, "The device's identifier: " + kVendor + "/" + model));
    EXPECT_TRUE(platform.log().contains(SVLogCategory::common, "The device's fingerprint: " + fingerprint));

    auto stored = item(kHost, "svsdkFingerprint", "team.group");
    ASSERT_TRUE(stored.has_value());
    EXPECT_EQ(stringOf(stored->value), fingerprint);
    EXPECT_EQ(stored->accessible, KeychainAccessibility::afterFirstUnlockThisDeviceOnly);
}

TEST(DeviceFingerprintTest, StoredItemWinsAndAnOlderOneIsCarriedOverUnlessEmpty) {
    {
        // Stored: returned as stored; the older item is not even read.
        ScopedPlatform platform(SVLoggingOptions::debug);
        ScopedHost host(kHost);
        put("svsdkFingerprint", bytesOf("stored by an earlier process"));
        put("quondamfp", bytesOf("older"));
        EXPECT_EQ(Keychain::computeDeviceFingerprint(), "stored by an earlier process");
        EXPECT_TRUE(item(kHost, "quondamfp").has_value());
        EXPECT_TRUE(platform.log().contains(SVLogCategory::common,
                                            "The device's fingerprint: stored by an earlier process"));
    }
    {
        // Only the older item: carried over into the group, this device only, and deleted.
        ScopedPlatform platform(SVLoggingOptions::debug);
        ScopedHost host(kHost, "team.group");
        put("quondamfp", bytesOf("OLD-Fingerprint"));
        EXPECT_EQ(Keychain::computeDeviceFingerprint(), "OLD-Fingerprint");
        auto stored = item(kHost, "svsdkFingerprint", "team.group");
        ASSERT_TRUE(stored.has_value());
        EXPECT_EQ(stringOf(stored->value), "OLD-Fingerprint");
        EXPECT_EQ(stored->accessible, KeychainAccessibility::afterFirstUnlockThisDeviceOnly);
        EXPECT_FALSE(item(kHost, "quondamfp").has_value());
        EXPECT_FALSE(platform.log().anyContains("The device's"));
        EXPECT_EQ(Keychain::computeDeviceFingerprint(), "OLD-Fingerprint") << "as the next process finds it";
    }
    {
        // An empty older item is ignored, and kept.
        ScopedPlatform platform;
        ScopedHost host(kHost);
        put("quondamfp", Bytes{});
        EXPECT_EQ(Keychain::computeDeviceFingerprint(), expectedFingerprint(kVendor));
        EXPECT_TRUE(item(kHost, "quondamfp").has_value());
        EXPECT_EQ(stringOf(item(kHost, "svsdkFingerprint")->value), expectedFingerprint(kVendor));
    }
}

TEST(DeviceFingerprintTest, NoVendorIdentifierGivesEmptyAndWritesNothing) {
    ScopedPlatform platform;
    auto config = platform.configuration();
    config.vendorIdentifier.reset();
    config.machineIdPath = platform.dir().file("no-machine-id");
    platform.apply(config);
    ScopedHost host(kHost);
    EXPECT_FALSE(UIDevice::vendorIdentifier().has_value());
    EXPECT_EQ(Keychain::deviceFingerprint(), "");
    EXPECT_FALSE(item(kHost, "svsdkFingerprint").has_value());
}

TEST(OptionalStringTest, NilIfEmpty) {
    EXPECT_EQ(nilIfEmpty(std::nullopt), std::nullopt);
    EXPECT_EQ(nilIfEmpty(std::string()), std::nullopt);
    EXPECT_EQ(nilIfEmpty(std::string(" ")), " ");
}
