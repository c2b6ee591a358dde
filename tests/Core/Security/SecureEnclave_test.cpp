#include <gtest/gtest.h>

#include <openssl/evp.h>
#include <openssl/x509.h>
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
#include "Core/Security/SecureEnclave.h"
#include "Core/Utilities/Encoding.h"
#include "Core/Storing/StoreTestSupport.h"
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
template <class F>
std::string failureOf(F&& f) {
    SVError error = svsdk::testing::thrownError(std::forward<F>(f));
    EXPECT_EQ(error.code(), SVError::Code::secureEnclaveError);
    return error.message();
}

// A public key read back from its SubjectPublicKeyInfo text, as a server would.
SecKey keyFromSpki(const std::string& hex) {
    auto der = bytesFromHex(hex).value_or(Bytes{});
    const unsigned char* p = der.data();
    EVP_PKEY* key = d2i_PUBKEY(nullptr, &p, static_cast<long>(der.size()));
    EXPECT_NE(key, nullptr);
    EXPECT_EQ(p, der.data() + der.size()) << "the text is exactly one DER structure";
    return SecKey(key);
}

SecKey keyOnCurve(const char* curve) { return SecKey(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", curve)); }

// The stored item of a pair of the users' store.
KeyItem storedItem(const std::string& label) {
    KeyQuery query;
    query.applicationTag = bytesOf(SecureEnclave::users().applicationTag());
    query.applicationLabel = SecureEnclave::applicationLabel(label);
    KeyItem item;
    EXPECT_EQ(KeychainStore::current().findKey(query, &item), errSecSuccess) << label;
    return item;
}

// Decrypts an ECIES message step by step, as a peer implementation would:
// Z = x(d * E), K = SHA-256(Z || 00000001 || E) cut to 16 bytes, AES-128-GCM
// with a 16-byte zero IV.
std::optional<Bytes> independentDecrypt(const Bytes& message, const SecKey& privateKey) {
    Bytes ephemeralPoint(message.begin(), message.begin() + 65);
    auto ephemeral = SecKey::publicKeyFromData(ephemeralPoint);
    openssl::PkeyCtx agreement(EVP_PKEY_CTX_new_from_pkey(nullptr, privateKey.get(), nullptr));
    Bytes kdfInput(32, 0);
    std::size_t zLength = kdfInput.size();
    if (!ephemeral || EVP_PKEY_derive_init(agreement.get()) != 1 ||
        EVP_PKEY_derive_set_peer(agreement.get(), ephemeral->get()) != 1 ||
        EVP_PKEY_derive(agreement.get(), kdfInput.data(), &zLength) != 1 || zLength != 32)
        return std::nullopt;
    for (std::uint8_t b : {0, 0, 0, 1}) kdfInput.push_back(b);
    kdfInput.insert(kdfInput.end(), ephemeralPoint.begin(), ephemeralPoint.end());
    Bytes key = Cryptor::sha256(kdfInput);
    key.resize(16);

    const int length = static_cast<int>(message.size() - 65 - 16);
    openssl::CipherCtx cipher(EVP_CIPHER_CTX_new());
    const std::uint8_t iv[16] = {};
    Bytes plaintext(static_cast<std::size_t>(length) + 16, 0);
    Bytes tag(message.end() - 16, message.end());
    int moved = 0;
    int tail = 0;
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

}  // namespace

TEST(EciesTest, RoundTripsAndAPeerCanDecrypt) {
    ScopedPlatform platform;
    auto pair = SecureEnclave::local().createKeyPair("ecies");
    for (std::size_t size : {0u, 1u, 16u, 1000u}) {
        Bytes plaintext(size, 0);
        for (std::size_t i = 0; i < size; ++i) plaintext[i] = static_cast<std::uint8_t>(i * 7 + 1);
        Bytes message = SecureEnclave::encrypt(plaintext, pair.publicKey);
        ASSERT_EQ(message.size(), 65 + size + 16);
        EXPECT_EQ(SecureEnclave::decrypt(message, pair.privateKey), plaintext);
        EXPECT_EQ(independentDecrypt(message, pair.privateKey), plaintext) << size;
    }
    Bytes once = SecureEnclave::encrypt(bytesOf("same"), pair.publicKey);
    EXPECT_NE(once, SecureEnclave::encrypt(bytesOf("same"), pair.publicKey)) << "a fresh ephemeral key each time";
}

TEST(EciesTest, TamperedOrShortInputAndWrongKeysAreRejected) {
    ScopedPlatform platform(SVLoggingOptions::debug);
    auto pair = SecureEnclave::local().createKeyPair("ecies");
    Bytes plaintext = bytesOf("kAuth of a user, 32 bytes long!!");
    Bytes message = SecureEnclave::encrypt(plaintext, pair.publicKey);
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
    // Keys of the wrong kind.
    for (auto operation : {
             std::function<void()>([&] { SecureEnclave::encrypt(plaintext, pair.privateKey); }),
             std::function<void()>([&] { SecureEnclave::decrypt(message, pair.publicKey); }),
             std::function<void()>([&] { SecureEnclave::encrypt(plaintext, *keyOnCurve("P-384").copyPublicKey()); }),
         })
        EXPECT_EQ(failureOf(operation), "Algorithm is not supported");
}

TEST(SecKeyTest, SignaturesVerifyWithTheExportedPublicKey) {
    ScopedPlatform platform;
    auto pair = SecureEnclave::users().generateKeyPair("signer");
    std::string spki = pair.publicKey.spkiHexString();
    ASSERT_EQ(spki.size(), 182u);
    EXPECT_EQ(spki.rfind("3059301306072a8648ce3d020106082a8648ce3d030107034200", 0), 0u);
    EXPECT_EQ(pair.privateKey.spkiHexString(), spki) << "a private key exports its public half";

    SecKey serverKey = keyFromSpki(spki);
    Bytes message = bytesOf("block to be signed");
    Bytes signature = pair.privateKey.sign(message).value_or(Bytes{});
    ASSERT_FALSE(signature.empty());
    EXPECT_EQ(signature[0], 0x30) << "an X9.62 DER sequence";
    EXPECT_TRUE(serverKey.verify(message, signature));
    EXPECT_FALSE(serverKey.verify(bytesOf("another block"), signature));
    signature.back() ^= 0x01;
    EXPECT_FALSE(serverKey.verify(message, signature));
    EXPECT_FALSE(pair.publicKey.sign(message).has_value()) << "a public key cannot sign";
    EXPECT_TRUE(serverKey.verify(Bytes{}, pair.privateKey.sign(Bytes{}).value_or(Bytes{})));

    // The key read back from the keychain signs for the same public key.
    auto again = SecureEnclave::users().retrieveKeyPair("signer");
    EXPECT_TRUE(serverKey.verify(message, again.privateKey.sign(message).value_or(Bytes{})));
}

TEST(SecKeyTest, SpkiOfOtherCurveSizes) {
    ScopedPlatform platform(SVLoggingOptions::debug);
    std::string p192 = keyOnCurve("prime192v1").spkiHexString();
    EXPECT_EQ(p192.size(), 150u);
    EXPECT_EQ(p192.rfind("3049301306072a8648ce3d020106082a8648ce3d030101033200", 0), 0u);
    keyFromSpki(p192);  // the header makes a valid structure
    EXPECT_FALSE(platform.log().anyContains("Wrong size"));

    SecKey p384 = keyOnCurve("P-384");
    EXPECT_EQ(p384.spkiHexString(), hexString(*p384.publicPoint()));
    EXPECT_TRUE(platform.log().contains(SVLogCategory::security, "Could not get the SPKI. Wrong size of the key"));
    EXPECT_EQ(SecKey().spkiHexString(), "");
}

TEST(SecKeyTest, ExternalRepresentationsAreChecked) {
    auto key = *SecKey::generateP256();
    Bytes data = *key.externalRepresentation();
    ASSERT_EQ(data.size(), 97u);
    auto copy = SecKey::privateKeyFromData(data);
    ASSERT_TRUE(copy.has_value());
    EXPECT_EQ(*copy->publicPoint(), *key.publicPoint());

    Bytes wrongPoint = data;
    wrongPoint[10] ^= 1;
    EXPECT_FALSE(SecKey::privateKeyFromData(wrongPoint)) << "the point must belong to the scalar";
    Bytes zeroScalar = data;
    std::fill(zeroScalar.begin() + 65, zeroScalar.end(), 0);
    EXPECT_FALSE(SecKey::privateKeyFromData(zeroScalar));
    EXPECT_FALSE(SecKey::privateKeyFromData(Bytes(data.begin(), data.begin() + 96)));
    Bytes offCurve(data.begin(), data.begin() + 65);
    offCurve[64] ^= 1;
    EXPECT_FALSE(SecKey::publicKeyFromData(offCurve));
}

TEST(SecureEnclaveTest, PairsAreFoundByLabelWithTheSuffixAndReplaced) {
    ScopedPlatform platform(SVLoggingOptions::debug);
    auto& users = SecureEnclave::users();
    EXPECT_EQ(failureOf([&] { users.retrieveKeyPair("alice"); }), kNotFound);
    EXPECT_TRUE(platform.log().contains(SVLogCategory::security,
                                        "Could not retrieve the key from the keychain. " + kNotFound));

    auto first = users.generateKeyPair("alice");
    EXPECT_EQ(failureOf([&] { users.privateKey(bytesOf("alice")); }), kNotFound);
    EXPECT_NO_THROW(users.privateKey(bytesOf("alice-private")));

    auto second = users.generateKeyPair("alice");
    EXPECT_NE(second.publicKey.spkiHexString(), first.publicKey.spkiHexString());
    EXPECT_EQ(users.retrieveKeyPair("alice").publicKey.spkiHexString(), second.publicKey.spkiHexString());

    // createKeyPair does not replace.
    EXPECT_EQ(failureOf([&] { users.createKeyPair("alice"); }), kDuplicate);
    EXPECT_TRUE(platform.log().contains(SVLogCategory::security, "Could not generate the keypair. " + kDuplicate));

    // Stores are separate: the same label in another store is another pair.
    auto autosign = SecureEnclave::autosign().createKeyPair("alice");
    users.removeKeyPair("alice");
    EXPECT_EQ(failureOf([&] { users.retrieveKeyPair("alice"); }), kNotFound);
    EXPECT_EQ(SecureEnclave::autosign().retrieveKeyPair("alice").publicKey.spkiHexString(),
              autosign.publicKey.spkiHexString());

    // Removing what is not there is logged, not thrown.
    platform.log().clear();
    EXPECT_NO_THROW(users.removeKeyPair("alice"));
    EXPECT_TRUE(platform.log().contains(SVLogCategory::security, "Removing a key of class: Private key"));
    EXPECT_TRUE(platform.log().contains(SVLogCategory::security, "Could not remove the key. " + kNotFound));
}

TEST(SecureEnclaveTest, FailedGenerationKeepsTheOldPairAndTheLocalPairIsMadeOnce) {
    ScopedPlatform platform;
    auto& users = SecureEnclave::users();
    auto& local = SecureEnclave::local();
    auto old = users.generateKeyPair("bob");
    local.checkLocalKeyPair();
    std::string localKey = local.retrieveKeyPair("local").publicKey.spkiHexString();
    local.checkLocalKeyPair();
    EXPECT_EQ(local.retrieveKeyPair("local").publicKey.spkiHexString(), localKey) << "never replaced";

    svsdk::testing::refuseKeyInserts(platform.configuration().keychainPath);
    std::string message = failureOf([&] { users.generateKeyPair("bob"); });
    EXPECT_EQ(message.rfind("errSecInternalComponent", 0), 0u) << message;
    EXPECT_EQ(users.retrieveKeyPair("bob").publicKey.spkiHexString(), old.publicKey.spkiHexString());

    // A failing generation of the local pair is swallowed.
    ScopedPlatform fresh;
    svsdk::testing::refuseKeyInserts(fresh.configuration().keychainPath);
    EXPECT_NO_THROW(local.checkLocalKeyPair());
    EXPECT_EQ(failureOf([&] { local.retrieveKeyPair("local"); }), kNotFound);
}

TEST(SecureEnclaveTest, AccessGroupAndAvailabilityAreRecorded) {
    ScopedPlatform platform;
    auto& users = SecureEnclave::users();
    HostState::setAccessGroup("team.shared");
    auto pair = users.generateKeyPair("carol");
    KeyItem item = storedItem("carol");
    EXPECT_EQ(item.accessGroup, "team.shared");
    // Keys made where there is no hardware carry no token and no access control.
    struct utsname info {};
    ASSERT_EQ(::uname(&info), 0);
    const bool hardware = std::string(info.machine) != "x86_64";
    EXPECT_EQ(SecureEnclave::isAvailable(), hardware);
    EXPECT_EQ(item.tokenID.has_value(), hardware);
    EXPECT_EQ(item.accessControl.has_value(), hardware);

    HostState::setAccessGroup("team.other");
    EXPECT_EQ(failureOf([&] { users.retrieveKeyPair("carol"); }), kNotFound);
    users.removeKeyPair("carol");  // finds nothing in this group
    HostState::setAccessGroup(std::nullopt);
    EXPECT_EQ(users.retrieveKeyPair("carol").publicKey.spkiHexString(), pair.publicKey.spkiHexString());
}

TEST(SecureEnclaveTest, LegacyKeysAreReadAndImported) {
    ScopedPlatform platform;
    EXPECT_EQ(failureOf([] { SecureEnclave::legacy().legacyPrivateKey(); }), kNotFound);

    auto legacyKey = *SecKey::generateP256();
    KeyItem item;
    item.applicationTag = bytesOf(SecureEnclave::legacy().applicationTag() + ".privateKey");
    item.applicationLabel = bytesOf("whatever the older code used");
    item.accessGroup = "ignored.group";
    item.keyData = *legacyKey.externalRepresentation();
    ASSERT_EQ(KeychainStore::current().addKey(item), errSecSuccess);
    HostState::setAccessGroup("some.group");  // not applied to the legacy lookup
    EXPECT_EQ(*SecureEnclave::legacy().legacyPrivateKey().publicPoint(), *legacyKey.publicPoint());
    HostState::setAccessGroup(std::nullopt);

    // Importing a good key, and meeting a pair under the label, are the transfer's tests.
    std::string bad = failureOf([] { SecureEnclave::users().importLegacyPrivateKey(bytesOf("junk"), bytesOf("x")); });
    EXPECT_EQ(bad.rfind("Unable to import legacy user's private key: ", 0), 0u) << bad;
}

TEST(SecureEnclaveTest, PairsSurviveANewProcessAndRemovedKeysLeaveNoTrace) {
    ScopedPlatform platform;
    // This process holds the store open, and the pair read once, while
    // another process replaces the pair.
    auto before = SecureEnclave::users().generateKeyPair("frank");
    SecureEnclave::users().retrieveKeyPair("frank");
    std::string written = platform.dir().file("child-spki");
    int status = svsdk::testing::runInChildProcess([&] {
        std::ofstream(written) << SecureEnclave::users().generateKeyPair("frank").publicKey.spkiHexString();
    });
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    std::string childKey;
    std::ifstream(written) >> childKey;
    ASSERT_EQ(childKey.size(), 182u);
    auto pair = SecureEnclave::users().retrieveKeyPair("frank");
    EXPECT_EQ(pair.publicKey.spkiHexString(), childKey);
    EXPECT_NE(pair.publicKey.spkiHexString(), before.publicKey.spkiHexString());

    // The private scalar is in the store while the pair exists, and gone from
    // every file of the store once it is removed.
    Bytes scalar = *pair.privateKey.externalRepresentation();
    scalar.erase(scalar.begin(), scalar.begin() + 65);
    std::string path = platform.configuration().keychainPath;
    EXPECT_TRUE(fileContains(path, scalar));
    SecureEnclave::users().removeKeyPair("frank");
    for (const char* suffix : {"", "-wal", "-shm", "-journal"}) EXPECT_FALSE(fileContains(path + suffix, scalar)) << suffix;
}
