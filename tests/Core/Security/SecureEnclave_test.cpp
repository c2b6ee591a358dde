// The key store, the password store and the device fingerprint.
#include <gtest/gtest.h>

#include <openssl/evp.h>
#include <openssl/x509.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <sys/wait.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <iterator>

#include <svsdk/SVError.h>

#include "Platform/HostState.h"
#include "Core/Security/Cryptor.h"
#include "Core/Security/OpenSSLPointers.h"
#include "Core/Security/Keychain.h"
#include "Core/Security/SecureEnclave.h"
#include "Core/Utilities/Encoding.h"
#include "Core/Storing/StoreTestSupport.h"
#include "Platform/Device.h"
#include "Platform/KeychainStore.h"
#include "support/KeyStoreFaults.h"
#include "support/TestEnvironment.h"
#include "support/Thrown.h"

using namespace svsdk;
using svsdk::testing::ScopedPlatform;

namespace {

const std::string kNotFound = "The specified item could not be found in the keychain. (-25300)";
const std::string kDuplicate = "The specified item already exists in the keychain. (-25299)";

// The message of the secure-enclave error `f` throws.
std::string failureOf(const std::function<void()>& f) {
    SVError error = svsdk::testing::thrownError(f);
    EXPECT_EQ(error.code(), SVError::Code::secureEnclaveError);
    return error.message();
}

// A public key read back from its SubjectPublicKeyInfo text, as a server would.
SecKey keyFromSpki(const std::string& hex) {
    auto der = bytesFromHex(hex).value_or(Bytes{});
    const unsigned char* p = der.data();
    EVP_PKEY* key = d2i_PUBKEY(nullptr, &p, static_cast<long>(der.size()));
    EXPECT_TRUE(key && p == der.data() + der.size()) << "the text is exactly one DER structure";
    return SecKey(key);
}

SecKey keyOnCurve(const char* curve) { return SecKey(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", curve)); }

std::string spki(const SecureEnclave::KeyPair& pair) { return pair.publicKey.spkiHexString(); }

// Decrypts an ECIES message step by step, as a peer implementation would:
// Z = x(d * E), K = SHA-256(Z || 00000001 || E) cut to 16 bytes, AES-128-GCM
// with a 16-byte zero IV.
std::optional<Bytes> independentDecrypt(const Bytes& message, const SecKey& privateKey) {
    Bytes point(message.begin(), message.begin() + 65);
    auto ephemeral = SecKey::publicKeyFromData(point);
    openssl::PkeyCtx agreement(EVP_PKEY_CTX_new_from_pkey(nullptr, privateKey.get(), nullptr));
    Bytes kdfInput(32, 0);
    std::size_t zLength = kdfInput.size();
    if (!ephemeral || EVP_PKEY_derive_init(agreement.get()) != 1 ||
        EVP_PKEY_derive_set_peer(agreement.get(), ephemeral->get()) != 1 ||
        EVP_PKEY_derive(agreement.get(), kdfInput.data(), &zLength) != 1 || zLength != 32)
        return std::nullopt;
    kdfInput.insert(kdfInput.end(), {0, 0, 0, 1});
    kdfInput.insert(kdfInput.end(), point.begin(), point.end());
    Bytes key = Cryptor::sha256(kdfInput);
    key.resize(16);
    const int length = static_cast<int>(message.size() - 65 - 16);
    openssl::CipherCtx cipher(EVP_CIPHER_CTX_new());
    const std::uint8_t iv[16] = {};
    Bytes plaintext(static_cast<std::size_t>(length) + 16, 0), tag(message.end() - 16, message.end());
    int moved = 0, tail = 0;
    if (EVP_DecryptInit_ex(cipher.get(), EVP_aes_128_gcm(), nullptr, nullptr, nullptr) != 1 ||
        EVP_CIPHER_CTX_ctrl(cipher.get(), EVP_CTRL_GCM_SET_IVLEN, 16, nullptr) != 1 ||
        EVP_DecryptInit_ex(cipher.get(), nullptr, nullptr, key.data(), iv) != 1 ||
        EVP_DecryptUpdate(cipher.get(), plaintext.data(), &moved, message.data() + 65, length) != 1 ||
        EVP_CIPHER_CTX_ctrl(cipher.get(), EVP_CTRL_GCM_SET_TAG, 16, tag.data()) != 1 ||
        EVP_DecryptFinal_ex(cipher.get(), plaintext.data() + moved, &tail) != 1)
        return std::nullopt;
    plaintext.resize(static_cast<std::size_t>(moved + tail));
    return plaintext;
}

bool fileContains(const std::string& path, const Bytes& needle) {
    std::ifstream file(path, std::ios::binary);
    Bytes contents{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    return std::search(contents.begin(), contents.end(), needle.begin(), needle.end()) != contents.end();
}

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

std::optional<PasswordItem> item(const std::string& account, std::optional<std::string> group = std::nullopt,
                                 const std::string& service = kHost) {
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

std::string expectedFingerprint() {
    std::string identifier = kVendor + "/" + UIDevice::modelIdentifier();
    return hexString(Cryptor::sha256(identifier.data(), identifier.size()));
}

}  // namespace

TEST(EciesTest, APeerDecryptsAndTamperedInputOrWrongKeysAreRejected) {
    ScopedPlatform platform(SVLoggingOptions::debug);
    auto pair = SecureEnclave::local().createKeyPair("ecies");
    for (std::size_t size : {0u, 1u, 16u, 1000u}) {
        Bytes plaintext(size, 0);
        for (std::size_t i = 0; i < size; ++i) plaintext[i] = static_cast<std::uint8_t>(i * 7 + 1);
        Bytes message = SecureEnclave::encrypt(plaintext, pair.publicKey);
        ASSERT_EQ(message.size(), 65 + size + 16);
        EXPECT_EQ(SecureEnclave::decrypt(message, pair.privateKey), plaintext);
        EXPECT_EQ(independentDecrypt(message, pair.privateKey), plaintext) << size;
    }
    Bytes plaintext = bytesOf("kAuth of a user, 32 bytes long!!");
    Bytes message = SecureEnclave::encrypt(plaintext, pair.publicKey);
    EXPECT_NE(message, SecureEnclave::encrypt(plaintext, pair.publicKey)) << "a fresh ephemeral key each time";
    // A flipped bit in the ephemeral key (byte 0 is the point format, byte 64
    // the last of Y), the ciphertext or the tag.
    for (std::size_t index : {std::size_t{1}, std::size_t{64}, std::size_t{65}, message.size() - 16, message.size() - 1}) {
        Bytes tampered = message;
        tampered[index] ^= 0x01;
        EXPECT_FALSE(failureOf([&] { SecureEnclave::decrypt(tampered, pair.privateKey); }).empty()) << index;
    }
    EXPECT_EQ(failureOf([&] { SecureEnclave::decrypt(Bytes(80, 0x04), pair.privateKey); }),
              "The data is too short to be decrypted.");
    EXPECT_TRUE(platform.log().contains(SVLogCategory::security,
                                        "Could not decrypt the data. The data is too short to be decrypted."));
    auto other = SecureEnclave::local().createKeyPair("other");
    EXPECT_EQ(failureOf([&] { SecureEnclave::decrypt(message, other.privateKey); }),
              "The data could not be authenticated.");
    for (const std::function<void()>& wrongKind : {
             std::function<void()>([&] { SecureEnclave::encrypt(plaintext, pair.privateKey); }),
             std::function<void()>([&] { SecureEnclave::decrypt(message, pair.publicKey); }),
             std::function<void()>([&] { SecureEnclave::encrypt(plaintext, *keyOnCurve("P-384").copyPublicKey()); }),
             std::function<void()>([&] { SecureEnclave::encrypt(plaintext, SecKey()); })})
        EXPECT_EQ(failureOf(wrongKind), "Algorithm is not supported");
}

TEST(SecKeyTest, SignaturesVerifyWithTheExportedPublicKeyAndImportsAreChecked) {
    ScopedPlatform platform(SVLoggingOptions::debug);
    auto pair = SecureEnclave::users().generateKeyPair("signer");
    std::string text = spki(pair);
    ASSERT_EQ(text.size(), 182u);
    EXPECT_EQ(text.rfind("3059301306072a8648ce3d020106082a8648ce3d030107034200", 0), 0u);
    EXPECT_EQ(pair.privateKey.spkiHexString(), text) << "a private key exports its public half";
    SecKey serverKey = keyFromSpki(text);
    Bytes message = bytesOf("block to be signed");
    Bytes signature = pair.privateKey.sign(message).value_or(Bytes{});
    ASSERT_FALSE(signature.empty());
    EXPECT_EQ(signature[0], 0x30) << "an X9.62 DER sequence";
    EXPECT_TRUE(serverKey.verify(message, signature));
    EXPECT_FALSE(serverKey.verify(bytesOf("another block"), signature));
    signature.back() ^= 0x01;
    EXPECT_FALSE(serverKey.verify(message, signature));
    EXPECT_FALSE(pair.publicKey.sign(message).has_value()) << "a public key cannot sign";
    auto again = SecureEnclave::users().retrieveKeyPair("signer");  // read back from the keychain
    EXPECT_TRUE(serverKey.verify(message, again.privateKey.sign(message).value_or(Bytes{})));

    // Other curve sizes: the SPKI header fits a 192-bit key; others give the bare point.
    std::string p192 = keyOnCurve("prime192v1").spkiHexString();
    EXPECT_EQ(p192.rfind("3049301306072a8648ce3d020106082a8648ce3d030101033200", 0), 0u);
    keyFromSpki(p192);
    EXPECT_FALSE(platform.log().anyContains("Wrong size"));
    SecKey p384 = keyOnCurve("P-384");
    EXPECT_EQ(p384.spkiHexString(), hexString(*p384.publicPoint()));
    EXPECT_TRUE(platform.log().contains(SVLogCategory::security, "Could not get the SPKI. Wrong size of the key"));
    EXPECT_EQ(SecKey().spkiHexString(), "");

    Bytes data = *pair.privateKey.externalRepresentation();
    ASSERT_EQ(data.size(), 97u);
    EXPECT_EQ(*SecKey::privateKeyFromData(data)->publicPoint(), *pair.publicKey.publicPoint());
    Bytes wrongPoint = data, zeroScalar = data, offCurve(data.begin(), data.begin() + 65);
    wrongPoint[10] ^= 1;  // the point must belong to the scalar
    std::fill(zeroScalar.begin() + 65, zeroScalar.end(), 0);
    offCurve[64] ^= 1;
    for (const Bytes& bad : {wrongPoint, zeroScalar, Bytes(data.begin(), data.begin() + 96)})
        EXPECT_FALSE(SecKey::privateKeyFromData(bad));
    EXPECT_FALSE(SecKey::publicKeyFromData(offCurve));
}

TEST(SecureEnclaveTest, PairsAreFoundByLabelInTheirStoreAndReplaced) {
    ScopedPlatform platform(SVLoggingOptions::debug);
    auto& users = SecureEnclave::users();
    EXPECT_EQ(failureOf([&] { users.retrieveKeyPair("alice"); }), kNotFound);
    EXPECT_TRUE(platform.log().contains(SVLogCategory::security,
                                        "Could not retrieve the key from the keychain. " + kNotFound));
    // Replacing logs the removal, and that it found nothing where there was no
    // pair, before the generation; storing a pair made beforehand replaces the same way.
    SecureEnclave::isAvailable();  // its first use logs too
    std::optional<SecureEnclave::KeyPair> first, second;
    const SecKey made = *SecKey::generateP256();
    const struct {
        const char* label;
        std::function<void()> replace;
        bool found;
    } replacing[] = {
        {"alice", [&] { first = users.generateKeyPair("alice"); }, false},
        {"alice", [&] { second = users.generateKeyPair("alice"); }, true},
        {"dave", [&] { users.storeKeyPair("dave", made); }, false},
        {"dave", [&] { users.storeKeyPair("dave", made); }, true},
    };
    for (const auto& row : replacing) {
        platform.log().clear();
        row.replace();
        std::vector<std::string> lines;
        for (const auto& entry : platform.log().entries()) lines.push_back(entry.message);
        std::vector<std::string> expected = {"The keypair with this label will be overwritten",
                                             "Removing a keypair with label: " + std::string(row.label),
                                             "Removing a key of class: Private key"};
        if (!row.found) expected.push_back("Could not remove the key. " + kNotFound);
        expected.push_back("Generating a keypair with label: " + std::string(row.label));
        EXPECT_EQ(lines, expected) << row.label << (row.found ? " replaced" : " new");
    }
    EXPECT_EQ(failureOf([&] { users.privateKey(bytesOf("alice")); }), kNotFound);
    EXPECT_NO_THROW(users.privateKey(bytesOf("alice-private")));
    EXPECT_EQ(*users.retrieveKeyPair("dave").publicKey.publicPoint(), *made.publicPoint());
    EXPECT_NE(spki(*second), spki(*first));
    EXPECT_EQ(spki(users.retrieveKeyPair("alice")), spki(*second));
    EXPECT_EQ(failureOf([&] { users.createKeyPair("alice"); }), kDuplicate) << "creating does not replace";
    EXPECT_TRUE(platform.log().contains(SVLogCategory::security, "Could not generate the keypair. " + kDuplicate));

    // The same label in another store is another pair.
    auto autosign = SecureEnclave::autosign().createKeyPair("alice");
    users.removeKeyPair("alice");
    EXPECT_EQ(failureOf([&] { users.retrieveKeyPair("alice"); }), kNotFound);
    EXPECT_EQ(spki(SecureEnclave::autosign().retrieveKeyPair("alice")), spki(autosign));
    platform.log().clear();
    EXPECT_NO_THROW(users.removeKeyPair("alice"));  // what is not there is logged, not thrown
    EXPECT_TRUE(platform.log().contains(SVLogCategory::security, "Removing a key of class: Private key"));
    EXPECT_TRUE(platform.log().contains(SVLogCategory::security, "Could not remove the key. " + kNotFound));

    // The access group is recorded and asked for; keys made where there is no
    // hardware carry no token and no access control.
    HostState::setAccessGroup("team.shared");
    auto carol = users.generateKeyPair("carol");
    KeyQuery query;
    query.applicationTag = bytesOf(users.applicationTag());
    query.applicationLabel = SecureEnclave::applicationLabel("carol");
    KeyItem item;
    ASSERT_EQ(KeychainStore::current().findKey(query, &item), errSecSuccess);
    EXPECT_EQ(item.accessGroup, "team.shared");
    struct utsname info {};
    ASSERT_EQ(::uname(&info), 0);
    const bool hardware = std::string(info.machine) != "x86_64";
    EXPECT_EQ(SecureEnclave::isAvailable(), hardware);
    EXPECT_EQ(item.tokenID.has_value() + item.accessControl.has_value(), 2 * hardware);
    HostState::setAccessGroup("team.other");
    EXPECT_EQ(failureOf([&] { users.retrieveKeyPair("carol"); }), kNotFound);
    users.removeKeyPair("carol");  // finds nothing in this group
    HostState::setAccessGroup(std::nullopt);
    EXPECT_EQ(spki(users.retrieveKeyPair("carol")), spki(carol));
}

TEST(SecureEnclaveTest, FailedGenerationKeepsTheOldPairAndTheLocalPairIsMadeOnce) {
    ScopedPlatform platform;
    auto& users = SecureEnclave::users();
    auto& local = SecureEnclave::local();
    auto old = users.generateKeyPair("bob");
    local.checkLocalKeyPair();
    std::string localKey = spki(local.retrieveKeyPair("local"));
    local.checkLocalKeyPair();
    EXPECT_EQ(spki(local.retrieveKeyPair("local")), localKey) << "never replaced";

    svsdk::testing::refuseKeyInserts(platform.configuration().keychainPath);
    std::string message = failureOf([&] { users.generateKeyPair("bob"); });
    EXPECT_EQ(message.rfind("errSecInternalComponent", 0), 0u) << message;
    EXPECT_EQ(spki(users.retrieveKeyPair("bob")), spki(old));
    ScopedPlatform fresh;
    svsdk::testing::refuseKeyInserts(fresh.configuration().keychainPath);
    EXPECT_NO_THROW(local.checkLocalKeyPair()) << "a failing generation of the local pair is swallowed";
    EXPECT_EQ(failureOf([&] { local.retrieveKeyPair("local"); }), kNotFound);
}

TEST(SecureEnclaveTest, LegacyKeysAreReadWithoutTheAccessGroupAndBadImportsRefused) {
    ScopedPlatform platform(SVLoggingOptions::debug);
    EXPECT_EQ(failureOf([] { SecureEnclave::legacy().legacyPrivateKey(); }), kNotFound);
    auto legacyKey = *SecKey::generateP256();
    KeyItem item;
    item.applicationTag = bytesOf(SecureEnclave::legacy().applicationTag() + ".privateKey");
    item.applicationLabel = bytesOf("whatever the older code used");
    item.accessGroup = "ignored.group";
    item.keyData = *legacyKey.externalRepresentation();
    ASSERT_EQ(KeychainStore::current().addKey(item), errSecSuccess);
    HostState::setAccessGroup("some.group");
    EXPECT_EQ(*SecureEnclave::legacy().legacyPrivateKey().publicPoint(), *legacyKey.publicPoint());
    HostState::setAccessGroup(std::nullopt);
    std::string bad = failureOf([] { SecureEnclave::users().importLegacyPrivateKey(bytesOf("junk"), bytesOf("x")); });
    EXPECT_EQ(bad.rfind("Unable to import legacy user's private key: ", 0), 0u) << bad;
    EXPECT_TRUE(platform.log().contains(SVLogCategory::security, bad));
}

TEST(SecureEnclaveTest, PairsSurviveANewProcessAndRemovedKeysLeaveNoTrace) {
    ScopedPlatform platform;
    // This process holds the store open, and the pair read once, while
    // another process replaces the pair.
    auto before = SecureEnclave::users().generateKeyPair("frank");
    SecureEnclave::users().retrieveKeyPair("frank");
    std::string written = platform.dir().file("child-spki");
    int status = svsdk::testing::runInChildProcess(
        [&] { std::ofstream(written) << spki(SecureEnclave::users().generateKeyPair("frank")); });
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    std::string childKey;
    std::ifstream(written) >> childKey;
    ASSERT_EQ(childKey.size(), 182u);
    auto pair = SecureEnclave::users().retrieveKeyPair("frank");
    EXPECT_EQ(spki(pair), childKey);
    EXPECT_NE(spki(pair), spki(before));

    // The private scalar is in the store while the pair exists, and gone from
    // every file of the store once it is removed.
    Bytes scalar = *pair.privateKey.externalRepresentation();
    scalar.erase(scalar.begin(), scalar.begin() + 65);
    std::string path = platform.configuration().keychainPath;
    EXPECT_TRUE(fileContains(path, scalar));
    SecureEnclave::users().removeKeyPair("frank");
    for (const char* suffix : {"", "-wal", "-shm", "-journal"}) EXPECT_FALSE(fileContains(path + suffix, scalar)) << suffix;
}

TEST(KeychainTest, ReadSaveDeleteAndTheirMessages) {
    ScopedPlatform platform(SVLoggingOptions::debug);
    auto& keychain = Keychain::shared();
    auto logged = [&](SVLogCategory category, const std::string& text) { return platform.log().contains(category, text); };
    EXPECT_FALSE(keychain.read("svc", "acc", std::nullopt).has_value());
    EXPECT_TRUE(logged(SVLogCategory::keychain, "Retrieving the item from the \"acc\" account"));
    EXPECT_TRUE(logged(SVLogCategory::keychain, "Could not retrieve the item from the keychain. OSStatus: The "
                                                "specified item could not be found in the keychain. (-25300)"));
    keychain.save("svc", "acc", "first", std::nullopt, false);
    EXPECT_TRUE(logged(SVLogCategory::keychain, "Saving the item into the \"acc\" account"));
    EXPECT_TRUE(logged(SVLogCategory::debug, "The item has been successfully created and saved"));
    EXPECT_EQ(keychain.read("svc", "acc", std::nullopt), "first");
    EXPECT_EQ(item("acc", std::nullopt, "svc")->accessible, KeychainAccessibility::afterFirstUnlock);
    // Saving again updates the value and the accessibility, without the creation message.
    platform.log().clear();
    keychain.save("svc", "acc", "second", std::nullopt, true);
    EXPECT_FALSE(platform.log().anyContains("successfully created"));
    EXPECT_EQ(keychain.read("svc", "acc", std::nullopt), "second");
    EXPECT_EQ(item("acc", std::nullopt, "svc")->accessible, KeychainAccessibility::afterFirstUnlockThisDeviceOnly);
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

TEST(DeviceFingerprintTest, WithoutAHostItIsEmptyUntilOneIsSetAndThenKeptForTheProcess) {
    ScopedPlatform platform(SVLoggingOptions::debug);
    ScopedHost host(std::nullopt);
    EXPECT_EQ(Keychain::deviceFingerprint(), "");
    EXPECT_TRUE(platform.log().entries().empty());
    struct stat info {};
    EXPECT_NE(::stat(platform.configuration().keychainPath.c_str(), &info), 0) << "the store was never opened";
    HostState::setHostBundleIdentifier(kHost);
    EXPECT_EQ(Keychain::deviceFingerprint(), expectedFingerprint()) << "the empty value is not kept";
    auto config = platform.configuration();
    config.vendorIdentifier = "11111111-1111-4111-8111-111111111111";
    platform.apply(config);
    ASSERT_TRUE(item("svsdkFingerprint").has_value());
    KeychainStore::current().deletePasswords({kHost, "svsdkFingerprint", std::nullopt});
    EXPECT_EQ(Keychain::deviceFingerprint(), expectedFingerprint());
}

// Where the fingerprint comes from: what is stored under the current or the
// older account, else the vendor and model, stored for the next process.
TEST(DeviceFingerprintTest, StoredOlderOrNewFingerprint) {
    const struct {
        std::optional<std::string> stored, older;
        std::string expected;
        bool olderKept, logged;
    } cases[] = {
        {std::nullopt, std::nullopt, expectedFingerprint(), false, true},
        {"stored by an earlier process", "older", "stored by an earlier process", true, true},
        {std::nullopt, "OLD-Fingerprint", "OLD-Fingerprint", false, false},
        {std::nullopt, "", expectedFingerprint(), true, true},  // an empty older item is ignored, and kept
    };
    for (const auto& c : cases) {
        ScopedPlatform platform(SVLoggingOptions::debug);
        ScopedHost host(kHost, c.stored ? std::nullopt : std::optional<std::string>("team.group"));
        if (c.stored) put("svsdkFingerprint", bytesOf(*c.stored));
        if (c.older) put("quondamfp", bytesOf(*c.older));
        EXPECT_EQ(Keychain::computeDeviceFingerprint(), c.expected);
        EXPECT_EQ(item("quondamfp").has_value(), c.olderKept) << c.expected;
        EXPECT_EQ(platform.log().contains(SVLogCategory::common, "The device's fingerprint: " + c.expected), c.logged);
        if (c.stored) continue;
        EXPECT_EQ(platform.log().contains(SVLogCategory::common, "The device's identifier: " + kVendor + "/" +
                                                                     UIDevice::modelIdentifier()),
                  c.logged);
        auto stored = item("svsdkFingerprint", "team.group");  // in the group, this device only
        ASSERT_TRUE(stored.has_value());
        EXPECT_EQ(stringOf(stored->value), c.expected);
        EXPECT_EQ(stored->accessible, KeychainAccessibility::afterFirstUnlockThisDeviceOnly);
        EXPECT_EQ(Keychain::computeDeviceFingerprint(), c.expected) << "as the next process finds it";
    }

    const std::string model = UIDevice::modelIdentifier();
    EXPECT_TRUE(!model.empty() && model.find('\0') == std::string::npos) << model;

    // No vendor identifier: empty, and nothing written.
    ScopedPlatform platform;
    auto config = platform.configuration();
    config.vendorIdentifier.reset();
    config.machineIdPath = platform.dir().file("no-machine-id");
    platform.apply(config);
    ScopedHost host(kHost);
    EXPECT_EQ(Keychain::deviceFingerprint(), "");
    EXPECT_FALSE(item("svsdkFingerprint").has_value());
}
