#include <gtest/gtest.h>

#include <svsdk/SVError.h>

#include "Core/Security/Cryptor.h"
#include "Core/Security/SecureEnclave.h"
#include "Core/Security/TLV.h"
#include "Core/Storing/StorageManager.h"
#include "Core/Utilities/Encoding.h"
#include "Core/Storing/StorageTestSupport.h"
#include "support/KeyStoreFaults.h"
#include "Core/Networking/NetSupport.h"

using namespace svsdk;
using namespace svsdk::testing;

namespace {

constexpr const char* kPassword = "Secret-Pass-42";

// A stored user of the loopback server with its three renewal handles cached
// and its signing pair; the server answers a challenge and sends back a
// renewed user whose key content is encrypted for the activation code.
class RenewalTest : public V3Fixture {
public:
    explicit RenewalTest(SVLoggingOptions options = SVLoggingOptions{}) : V3Fixture(0, options) {
        SVUser imported(user().userID(), user().systemID(), user().options(), user().interactionURL(), std::nullopt,
                        std::string("push-token"), std::int64_t{3}, std::nullopt, {}, 180, 180, "S-renew", 3,
                        UserKeysContent::importedDecrypted(oldKHMAC(), oldKAuth()), 1900000000);
        SecureEnclave::local().checkLocalKeyPair();
        StorageEnvironment::activate(imported, oldKAuth(), oldKHMAC());
        StorageManager::shared().store(imported, "Name", std::string(kPassword));
        old_ = StorageManager::shared().userEntity(imported) ? StorageManager::shared().users().back() : imported;
        old_.setRegisteredDeviceToken(std::string("push-token"));
        oldPair_ = SecureEnclave::users().generateKeyPair(old_.uniqueID());
        cacheSecrets();
        server_.answer("POST", path("/key/renew/challenge"),
                       ScriptedAnswer::json(200, R"({"answer":{"renew_key_challenge":{"challenge":"0a0B0c"}}})"));
        answerResponseWith(renewedJSON("u-1-renewed", activationCode()));
    }
    ~RenewalTest() override {
        StorageManager::setStepHook(nullptr);
        for (const auto& u : StorageManager::shared().users()) StorageManager::shared().remove(u);
        SecureEnclave::users().removeKeyPair(old_.uniqueID());
    }

    static Bytes oldKAuth() { return numbered(32, 0x11); }
    static Bytes oldKHMAC() { return numbered(32, 0x51); }
    static Bytes newKHMAC() { return numbered(32, 0x71); }
    static Bytes newKAuth() { return numbered(32, 0x91); }
    static std::string activationCode() {
        Bytes input = oldKHMAC(), kAuth = oldKAuth();
        input.insert(input.end(), kAuth.begin(), kAuth.end());
        return hexString(Cryptor::sha256(input));
    }
    std::string path(const std::string& rest) const { return "/jsonrequest_v3/system-1/users/u-1" + rest; }
    void cacheSecrets() {
        StorageEnvironment::activate(old_, oldKAuth(), oldKHMAC());
        HandlesManager::shared().add(bytesOf(kPassword), HandleType::password, old_);
    }
    std::string renewedJSON(const std::string& userID, const std::string& code) const {
        Bytes content = newKHMAC(), kAuth = newKAuth();
        content.insert(content.end(), kAuth.begin(), kAuth.end());
        nlohmann::json json = {{"user_id", userID}, {"system_id", "system-1"}, {"key_flags", 0},
                               {"expiration_timestamp", 2000000000}, {"sv_external_url", server_.baseURL()},
                               {"sv_key_version", 3},
                               {"encrypted_key_content", base64Encode(Cryptor::encrypt(content, userID, code))}};
        return json.dump();
    }
    void answerRenewedRegistration(int status) {
        server_.answer("PATCH", "/jsonrequest_v3/system-1/users/u-1-renewed", ScriptedAnswer::json(status, "{}"));
    }
    void answerResponseWith(const std::string& keyJSON) {
        nlohmann::json answer = {{"answer", {{"key_updated", {{"key_json", keyJSON}}}}}};
        server_.answer("POST", path("/key/renew/response"), ScriptedAnswer::json(200, answer.dump()));
    }
    // The stored record of the old storage ID, and whether it is the old user.
    SVUser stored() const { return StorageManager::shared().users().at(0); }
    bool oldPairIsWhole() const {
        try {
            return SecureEnclave::users().retrieveKeyPair(old_.uniqueID()).publicKey.spkiHexString() ==
                   oldPair_.publicKey.spkiHexString();
        } catch (...) {
            return false;
        }
    }
    // The renewal answer's HMAC and signature (old keys) cover the challenge
    // bytes followed by the answer's salt.
    void expectSignedOver(const RecordedRequest& request, Bytes challenge) const {
        auto response = signedBody(request, oldKAuth());
        Bytes salt = bytesFromHex(response.at("salt").get<std::string>()).value();
        challenge.insert(challenge.end(), salt.begin(), salt.end());
        Bytes block = TLV::dataConfirmation(challenge, old_, TimeManager::shared().discreteTimeInterval(180));
        EXPECT_EQ(response.at("hmac"), hmacHex(oldKHMAC(), block));
        Bytes signature = bytesFromHex(response.at("signature").get<std::string>()).value();
        EXPECT_TRUE(oldPair_.publicKey.verify(block, signature));
    }
    void expectUnchanged(const std::string& what) {
        EXPECT_EQ(stored().userID(), "u-1") << what;
        auto entity = StorageManager::shared().userEntity(old_).value();
        EXPECT_EQ(StorageEnvironment::storedKHMAC(entity, "u-1", kPassword), oldKHMAC()) << what;
        EXPECT_TRUE(oldPairIsWhole()) << what;
    }

    SVUser old_ = user();
    SecureEnclave::KeyPair oldPair_;
};

// The renewal under `debug` alone, and under `debug` and `keys`.
class RenewalLogTest : public RenewalTest, public ::testing::WithParamInterface<SVLoggingOptions> {
public:
    RenewalLogTest() : RenewalTest(GetParam()) {}
};

}  // namespace

TEST_F(RenewalTest, RenewsEndToEndAndReplacesTheStoredRecord) {
    answerRenewedRegistration(200);
    ASSERT_TRUE(await(api().renew(old_)).ok());
    auto requests = server_.requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(signedBody(requests[0], oldKAuth()), nlohmann::json::object());

    // The answer: signed with the registered key over the challenge and salt.
    std::string salt = signedBody(requests[1], oldKAuth()).at("salt");
    EXPECT_EQ(salt.size(), 64u);
    EXPECT_EQ(salt, hexString(bytesFromHex(salt).value())) << "lower-case hex";
    expectSignedOver(requests[1], Bytes{0x0a, 0x0b, 0x0c});

    // The renewed user: same storage ID, new keys under the same password,
    // registered with its new public key and the old token.
    SVUser renewed = stored();
    EXPECT_EQ(renewed.userID(), "u-1-renewed");
    EXPECT_EQ(renewed.storageID(), old_.storageID());
    EXPECT_EQ(StorageManager::shared().users().size(), 1u);
    auto entity = StorageManager::shared().userEntity(renewed).value();
    EXPECT_EQ(StorageEnvironment::storedKHMAC(entity, "u-1-renewed", kPassword), newKHMAC());
    EXPECT_EQ(StorageEnvironment::storedKAuth(entity), newKAuth());
    auto registration = signedBody(requests[2], newKAuth());
    EXPECT_EQ(registration.at("public_key"),
              SecureEnclave::users().retrieveKeyPair(renewed.uniqueID()).publicKey.spkiHexString());
    EXPECT_EQ(registration.at("push_address").at("device_push_id"), "push-token");
    SecureEnclave::users().removeKeyPair(renewed.uniqueID());
}

TEST_F(RenewalTest, ChallengeAndResponseFailuresSendNothingMore) {
    // Salts differ per answer; a challenge that is not hex is answered over
    // the salt alone.
    server_.answer("POST", path("/key/renew/response"), ScriptedAnswer::json(500, "{}"));
    EXPECT_FALSE(await(api().renew(old_)).ok());
    server_.answer("POST", path("/key/renew/challenge"),
                   ScriptedAnswer::json(200, R"({"answer":{"renew_key_challenge":{"challenge":"xyz"}}})"));
    EXPECT_FALSE(await(api().renew(old_)).ok());
    auto requests = server_.requests();
    ASSERT_EQ(requests.size(), 4u);
    EXPECT_NE(nlohmann::json::parse(requests[1].body).at("salt"), nlohmann::json::parse(requests[3].body).at("salt"));
    expectSignedOver(requests[3], Bytes{});

    struct Row {
        std::string challengeAnswer;
        bool dropPassword;
        SVError::Code code;
    };
    for (const auto& row : {Row{R"({"answer":{"renew_key_challenge":{}}})", false, SVError::Code::missingRequestedData},
                            Row{R"({"answer":{"renew_key_challenge":{"challenge":"00"}}})", true,
                                SVError::Code::handleInvalid}}) {
        server_.clearRequests();
        cacheSecrets();
        if (row.dropPassword) HandlesManager::shared().remove(HandleType::password, old_);
        server_.answer("POST", path("/key/renew/challenge"), ScriptedAnswer::json(200, row.challengeAnswer));
        auto result = await(api().renew(old_));
        EXPECT_TRUE(!result.ok() && result.error().is(row.code)) << row.challengeAnswer;
        EXPECT_EQ(server_.requestCount(), 1u) << row.challengeAnswer;
    }
}

// Every failure before the renewed record is stored leaves the old record and
// the old pair (same label: the user ID stays) whole.
TEST_F(RenewalTest, FailuresBeforeStoringKeepTheOldRecordAndPair) {
    auto complete = [&](const std::string& keyJSON, const Bytes& kAuth = oldKAuth()) {
        return await(Promise<void>::resolved().chained(
            [&] { return v3_.completeRenewal(old_, keyJSON, kPassword, kAuth, oldKHMAC()); }));
    };
    EXPECT_FALSE(complete("{not json").ok());
    expectUnchanged("undecodable user");
    EXPECT_FALSE(complete(renewedJSON("u-1", activationCode()), numbered(32, 3)).ok());
    expectUnchanged("wrong activation code");

    StorageManager::setStepHook([](const char* step) {
        if (std::string(step) == "written") throw SVError::internalError();
    });
    EXPECT_FALSE(complete(renewedJSON("u-1", activationCode())).ok());
    StorageManager::setStepHook(nullptr);
    expectUnchanged("failure after the new pair was swapped in");

    refuseKeyInserts(platform_.configuration().keychainPath);
    EXPECT_FALSE(complete(renewedJSON("u-1", activationCode())).ok());
    expectUnchanged("key store refuses the new pair");
}

TEST_F(RenewalTest, AFailedRegistrationRemovesTheNewPairAndTokenHandleOnly) {
    SVUser sameIdentity = makeServerUser("u-1-renewed", 0, old_.storageID());
    HandlesManager::shared().add(bytesOf("push-token"), HandleType::deviceToken, sameIdentity);
    answerRenewedRegistration(500);
    auto result = await(api().renew(old_));
    ASSERT_FALSE(result.ok());
    SVUser renewed = stored();
    EXPECT_EQ(renewed.userID(), "u-1-renewed") << "the renewed record stays";
    EXPECT_FALSE(HandlesManager::shared().handle(HandleType::deviceToken, renewed).has_value());
    EXPECT_FALSE(renewed.hasKeyPair());

    // Registered again through the registration operation.
    answerRenewedRegistration(200);
    auto pair = SecureEnclave::users().generateKeyPair(renewed.uniqueID());
    EXPECT_TRUE(await(api().registerUser(renewed, pair.publicKey, std::nullopt)).ok());
    SecureEnclave::users().removeKeyPair(renewed.uniqueID());
}

// The user removed right after the renewed record was committed: its
// registration cannot even be signed, and the new pair must not outlive it.
TEST_F(RenewalTest, ARegistrationThatCannotStartRemovesTheNewPair) {
    static const SVUser* removedUser = nullptr;
    removedUser = &old_;
    StorageManager::setStepHook([](const char* step) {
        if (std::string(step) == "committed") StorageManager::shared().remove(*removedUser);
    });
    auto result = await(api().renew(old_));
    StorageManager::setStepHook(nullptr);
    ASSERT_FALSE(result.ok());
    EXPECT_TRUE(StorageManager::shared().users().empty());
    EXPECT_FALSE(makeServerUser("u-1-renewed", 0, old_.storageID()).hasKeyPair()) << "no pair of a removed user";
    EXPECT_EQ(server_.requestCount(), 2u) << "no registration sent";
}

// Neither the password nor any kAuth or kHMAC, old or new, is ever logged, not
// even with `keys` (which shows the new public key). With `debug` alone the
// response's body line, which carries the renewed key content, ends at the colon.
TEST_P(RenewalLogTest, SecretsOfTheRenewalAreNeverLogged) {
    const bool keys = GetParam().contains(SVLoggingOptions::keys);
    answerRenewedRegistration(200);
    auto& log = platform_.log();
    if (keys) log.clear();
    ASSERT_TRUE(await(api().renew(old_)).ok());
    for (const std::string& secret : {std::string(kPassword), hexString(oldKAuth()), hexString(oldKHMAC()),
                                      hexString(newKAuth()), hexString(newKHMAC()), activationCode()})
        EXPECT_FALSE(log.anyContains(secret)) << secret;
    if (keys) {
        EXPECT_TRUE(log.contains(SVLogCategory::keys, "- Public Key: "));
    } else {
        EXPECT_TRUE(log.anyContains("Salt: "));
        EXPECT_TRUE(log.contains(SVLogCategory::users, "- Device Token: push-token"));
        EXPECT_TRUE(log.contains(SVLogCategory::network, "Response's body:"));
        EXPECT_FALSE(log.anyContains("encrypted_key_content"));
        EXPECT_FALSE(log.anyContains("key_json"));
    }
    SecureEnclave::users().removeKeyPair(stored().uniqueID());
}

INSTANTIATE_TEST_SUITE_P(Options, RenewalLogTest,
                         ::testing::Values(SVLoggingOptions::debug, SVLoggingOptions::debug | SVLoggingOptions::keys));
