#include <gtest/gtest.h>

#include <algorithm>

#include <svsdk/SVError.h>

#include "Core/Networking/NetSupport.h"
#include "Core/Security/Cryptor.h"
#include "Core/Security/SecureEnclave.h"
#include "Core/Security/TLV.h"
#include "Core/Storing/StorageManager.h"
#include "Core/Storing/StorageTestSupport.h"
#include "support/KeyStoreFaults.h"

using namespace svsdk;
using namespace svsdk::testing;
using nlohmann::json;

namespace {

constexpr const char* kPassword = "Secret-Pass-42";
const Bytes kOldKAuth = numbered(32, 0x11), kOldKHMAC = numbered(32, 0x51);
const Bytes kNewKHMAC = numbered(32, 0x71), kNewKAuth = numbered(32, 0x91);

Bytes joined(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}
const std::string kActivationCode = hexString(Cryptor::sha256(joined(kOldKHMAC, kOldKAuth)));

// A stored user of the loopback server with its renewal handles cached and
// its signing pair; the server answers a challenge and sends back a renewed
// user whose key content is encrypted for the activation code.
class RenewalTest : public V3Fixture, public ::testing::WithParamInterface<SVLoggingOptions> {
public:
    explicit RenewalTest(SVLoggingOptions options = SVLoggingOptions::debug) : V3Fixture(0, options) {
        SVUser imported(user().userID(), user().systemID(), user().options(), user().interactionURL(), std::nullopt,
                        std::string("push-token"), std::int64_t{3}, std::nullopt, {}, 180, 180, "S-renew", 3,
                        UserKeysContent::importedDecrypted(kOldKHMAC, kOldKAuth), 1900000000);
        SecureEnclave::local().checkLocalKeyPair();
        StorageEnvironment::activate(imported, kOldKAuth, kOldKHMAC);
        StorageManager::shared().store(imported, "Name", std::string(kPassword));
        old_ = StorageManager::shared().users().back();
        old_.setRegisteredDeviceToken(std::string("push-token"));
        oldPair_ = SecureEnclave::users().generateKeyPair(old_.uniqueID());
        StorageEnvironment::activate(old_, kOldKAuth, kOldKHMAC);
        HandlesManager::shared().add(bytesOf(kPassword), HandleType::password, old_);
        server_.answer("POST", path("/key/renew/challenge"),
                       ScriptedAnswer::json(200, R"({"answer":{"renew_key_challenge":{"challenge":"0a0B0c"}}})"));
        json answer = {{"answer", {{"key_updated", {{"key_json", renewedJSON(kActivationCode)}}}}}};
        server_.answer("POST", path("/key/renew/response"), ScriptedAnswer::json(200, answer.dump()));
        answerRegistration(200);
    }
    ~RenewalTest() override {
        StorageManager::setStepHook(nullptr);
        for (const auto& u : StorageManager::shared().users()) {
            SecureEnclave::users().removeKeyPair(u.uniqueID());
            StorageManager::shared().remove(u);
        }
        SecureEnclave::users().removeKeyPair(old_.uniqueID());
    }

    std::string path(const std::string& rest) const { return "/jsonrequest_v3/system-1/users/u-1" + rest; }
    std::string renewedJSON(const std::string& code) const {
        return json{{"user_id", "u-1-renewed"}, {"system_id", "system-1"}, {"key_flags", 0},
                    {"expiration_timestamp", 2000000000}, {"sv_external_url", server_.baseURL()}, {"sv_key_version", 3},
                    {"encrypted_key_content", base64Encode(Cryptor::encrypt(joined(kNewKHMAC, kNewKAuth), "u-1-renewed", code))}}
            .dump();
    }
    void answerRegistration(int status) {
        server_.answer("PATCH", "/jsonrequest_v3/system-1/users/u-1-renewed", ScriptedAnswer::json(status, "{}"));
    }
    SVUser stored() const { return StorageManager::shared().users().at(0); }
    // The answer's HMAC and signature (old keys) cover the challenge bytes followed by the answer's salt.
    void expectSignedOver(const RecordedRequest& request, const Bytes& challenge) const {
        auto response = signedBody(request, kOldKAuth);
        Bytes block = TLV::dataConfirmation(joined(challenge, bytesFromHex(response.at("salt").get<std::string>()).value()),
                                            old_, TimeManager::shared().discreteTimeInterval(180));
        EXPECT_EQ(response.at("hmac"), hmacHex(kOldKHMAC, block));
        EXPECT_TRUE(oldPair_.publicKey.verify(block, bytesFromHex(response.at("signature").get<std::string>()).value()));
    }
    void expectUnchanged(const std::string& what) {
        EXPECT_EQ(stored().userID(), "u-1") << what;
        auto entity = StorageManager::shared().userEntity(old_).value();
        EXPECT_EQ(StorageEnvironment::storedKHMAC(entity, "u-1", kPassword), kOldKHMAC) << what;
        EXPECT_EQ(SecureEnclave::users().retrieveKeyPair(old_.uniqueID()).publicKey.spkiHexString(),
                  oldPair_.publicKey.spkiHexString()) << what;
    }

    SVUser old_ = user();
    SecureEnclave::KeyPair oldPair_;
};

class RenewalLogTest : public RenewalTest {
public:
    RenewalLogTest() : RenewalTest(GetParam()) {}
};

}  // namespace

TEST_F(RenewalTest, RenewsEndToEndAndReplacesTheStoredRecord) {
    ASSERT_TRUE(await(api().renew(old_)).ok());
    auto requests = server_.requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(signedBody(requests[0], kOldKAuth), json::object());
    std::string salt = signedBody(requests[1], kOldKAuth).at("salt");
    EXPECT_EQ(salt, hexString(bytesFromHex(salt).value())) << "lower-case hex";
    EXPECT_EQ(salt.size(), 64u);
    expectSignedOver(requests[1], Bytes{0x0a, 0x0b, 0x0c});

    // Same storage ID, new keys under the same password, registered with its new public key and the old token.
    SVUser renewed = stored();
    EXPECT_EQ(renewed.userID() + " " + renewed.storageID(), "u-1-renewed " + old_.storageID());
    EXPECT_EQ(StorageManager::shared().users().size(), 1u);
    auto entity = StorageManager::shared().userEntity(renewed).value();
    EXPECT_EQ(StorageEnvironment::storedKHMAC(entity, "u-1-renewed", kPassword), kNewKHMAC);
    EXPECT_EQ(StorageEnvironment::storedKAuth(entity), kNewKAuth);
    auto registration = signedBody(requests[2], kNewKAuth);
    EXPECT_EQ(registration.at("public_key"),
              SecureEnclave::users().retrieveKeyPair(renewed.uniqueID()).publicKey.spkiHexString());
    EXPECT_EQ(registration.at("push_address").at("device_push_id"), "push-token");

    // The swap logs as a replacement of the renewed label's pair, which has none yet.
    const std::string label = renewed.uniqueID();
    std::vector<std::string> security;
    for (const auto& entry : platform_.log().entries())
        if (entry.category == SVLogCategory::security) security.push_back(entry.message);
    auto removal = std::find(security.begin(), security.end(), "Removing a keypair with label: " + label);
    ASSERT_NE(removal, security.end());
    ASSERT_GE(removal - security.begin(), 1);
    ASSERT_GE(security.end() - removal, 4);
    const std::vector<std::string> swap = {
        "The keypair with this label will be overwritten", "Removing a keypair with label: " + label,
        "Removing a key of class: Private key",
        "Could not remove the key. The specified item could not be found in the keychain. (-25300)",
        "Generating a keypair with label: " + label};
    EXPECT_EQ(std::vector<std::string>(removal - 1, removal + 4), swap);
}

TEST_F(RenewalTest, FailuresOfTheChallengeSendNothingMore) {
    // A challenge that is not hex is answered over the salt alone.
    server_.answer("POST", path("/key/renew/response"), ScriptedAnswer::json(500, "{}"));
    server_.answer("POST", path("/key/renew/challenge"),
                   ScriptedAnswer::json(200, R"({"answer":{"renew_key_challenge":{"challenge":"xyz"}}})"));
    EXPECT_FALSE(await(api().renew(old_)).ok());
    ASSERT_EQ(server_.requestCount(), 2u);
    expectSignedOver(server_.requests()[1], Bytes{});

    server_.answer("POST", path("/key/renew/challenge"),
                   ScriptedAnswer::json(200, R"({"answer":{"renew_key_challenge":{}}})"));
    server_.clearRequests();
    EXPECT_TRUE(await(api().renew(old_)).error().is(SVError::Code::missingRequestedData));
    server_.answer("POST", path("/key/renew/challenge"),
                   ScriptedAnswer::json(200, R"({"answer":{"renew_key_challenge":{"challenge":"00"}}})"));
    // Without any one of its handles nothing more is sent.
    for (auto [type, value] : {std::pair{HandleType::password, bytesOf(kPassword)}, {HandleType::hmac, kOldKHMAC}}) {
        HandlesManager::shared().remove(type, old_);
        EXPECT_TRUE(await(api().renew(old_)).error().is(SVError::Code::handleInvalid));
        HandlesManager::shared().add(value, type, old_);
    }
    EXPECT_EQ(server_.requestCount(), 3u);
}

// Every failure before the renewed record is stored leaves the old record and pair whole.
TEST_F(RenewalTest, FailuresBeforeStoringKeepTheOldRecordAndPair) {
    auto complete = [&](const std::string& keyJSON, const Bytes& kAuth = kOldKAuth) {
        return await(Promise<void>::resolved().chained(
            [&] { return v3_.completeRenewal(old_, keyJSON, kPassword, kAuth, kOldKHMAC); }));
    };
    EXPECT_FALSE(complete("{not json").ok());
    expectUnchanged("undecodable user");
    EXPECT_FALSE(complete(renewedJSON(kActivationCode), numbered(32, 3)).ok());
    expectUnchanged("wrong activation code");
    static std::string failing;  // before the new pair is swapped in, and after
    StorageManager::setStepHook([](const char* step) {
        if (step == failing) throw SVError::internalError();
    });
    // A pair already under the renewed user's label is kept too.
    const std::string label = makeServerUser("u-1-renewed", 0, old_.storageID()).uniqueID();
    const std::string earlier = SecureEnclave::users().generateKeyPair(label).publicKey.spkiHexString();
    for (const char* step : {"computed", "written"}) {
        failing = step;
        EXPECT_FALSE(complete(renewedJSON(kActivationCode)).ok());
        expectUnchanged(std::string("failure at ") + step);
        EXPECT_EQ(SecureEnclave::users().retrieveKeyPair(label).publicKey.spkiHexString(), earlier) << step;
    }
    StorageManager::setStepHook(nullptr);
    refuseKeyInserts(platform_.configuration().keychainPath);
    EXPECT_FALSE(complete(renewedJSON(kActivationCode)).ok());
    expectUnchanged("key store refuses the new pair");
}

TEST_F(RenewalTest, AFailedRegistrationRemovesTheNewPairAndTokenHandleOnly) {
    HandlesManager::shared().add(bytesOf("push-token"), HandleType::deviceToken,
                                 makeServerUser("u-1-renewed", 0, old_.storageID()));
    answerRegistration(500);
    ASSERT_FALSE(await(api().renew(old_)).ok());
    SVUser renewed = stored();
    EXPECT_EQ(renewed.userID(), "u-1-renewed") << "the renewed record stays";
    EXPECT_FALSE(HandlesManager::shared().handle(HandleType::deviceToken, renewed).has_value());
    EXPECT_FALSE(renewed.hasKeyPair());
}

// The user removed right after the renewed record was committed: the new pair must not outlive it.
TEST_F(RenewalTest, ARegistrationThatCannotStartRemovesTheNewPair) {
    static const SVUser* removedUser = nullptr;
    removedUser = &old_;
    StorageManager::setStepHook([](const char* step) {
        if (std::string(step) == "committed") StorageManager::shared().remove(*removedUser);
    });
    ASSERT_FALSE(await(api().renew(old_)).ok());
    EXPECT_TRUE(StorageManager::shared().users().empty());
    EXPECT_FALSE(makeServerUser("u-1-renewed", 0, old_.storageID()).hasKeyPair());
    EXPECT_EQ(server_.requestCount(), 2u) << "no registration sent";
}

// Neither the password nor any kAuth or kHMAC, old or new, is ever logged, not even with `keys`.
// With `debug` alone the response's body line, which carries the renewed key content, ends at the colon.
TEST_P(RenewalLogTest, TheRenewalLogsNoSecretButTheSigningKeyOfItsRequests) {
    const bool keys = GetParam().contains(SVLoggingOptions::keys);
    auto& log = platform_.log();
    if (keys) log.clear();
    ASSERT_TRUE(await(api().renew(old_)).ok());
    for (const std::string& secret :
         {std::string(kPassword), hexString(kOldKHMAC), hexString(kNewKHMAC), kActivationCode})
        EXPECT_FALSE(log.anyContains(secret)) << secret;
    // kAuth only in the signing lines of its requests, as every request's.
    std::vector<std::string> kauth;
    for (const auto& entry : log.entries()) {
        const bool kAuthShown = entry.message.find(hexString(kOldKAuth)) != std::string::npos ||
                                entry.message.find(hexString(kNewKAuth)) != std::string::npos;
        if (kAuthShown || entry.message.rfind("Kauth: ", 0) == 0) kauth.push_back(entry.message);
    }
    const std::vector<std::string> signing = {"Kauth: " + hexString(kOldKAuth), "Kauth: " + hexString(kOldKAuth),
                                              "Kauth: " + hexString(kNewKAuth)};
    EXPECT_EQ(kauth, keys ? signing : std::vector<std::string>{});
    EXPECT_EQ(log.contains(SVLogCategory::keys, "- Public Key: "), keys);
    if (!keys) {
        EXPECT_TRUE(log.contains(SVLogCategory::users, "- Device Token: push-token"));
        EXPECT_TRUE(log.contains(SVLogCategory::network, "Response's body:"));
        EXPECT_FALSE(log.anyContains("encrypted_key_content") || log.anyContains("key_json"));
    }
}

INSTANTIATE_TEST_SUITE_P(Options, RenewalLogTest,
                         ::testing::Values(SVLoggingOptions::debug, SVLoggingOptions::debug | SVLoggingOptions::keys));
