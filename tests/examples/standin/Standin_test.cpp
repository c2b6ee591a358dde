// The stand-in signing server, run as its own process. The road tests trust what it accepts; here it refuses
// what a client got wrong, recomputing signing headers, codes and signatures with its own cryptography.
#include <gtest/gtest.h>

#include <svsdk/SVConfirmation.h>
#include <svsdk/SVDeclination.h>
#include <svsdk/SVNetworkError.h>

#include "Core/Networking/Request.h"
#include "Core/Security/Cryptor.h"
#include "Core/Security/Keychain.h"
#include "Core/Security/TLV.h"
#include "Core/Time/TimeManager.h"
#include "Core/Utilities/Encoding.h"
#include "support/Await.h"
#include "support/SigningUser.h"
#include "support/StandinServer.h"
#include "support/TestEnvironment.h"

namespace svsdk::testing {
namespace {

using nlohmann::ordered_json;
using Code = SVNetworkError::Code;

Bytes hexBytes(const std::string& text) { return bytesFromHex(text).value(); }

// A request through the SDK's own building, signing and sending; the error code of a refusal.
std::optional<Code> refusal(const StandinServer& server, const std::vector<std::string>& path, const ordered_json& body,
                            const std::optional<Bytes>& key, bool legacy = false, HTTPMethod method = HTTPMethod::post) {
    Endpoint endpoint(URL::parse(server.baseURL()).value(), path);
    auto result = await(sendRequest(makeURLRequest(endpoint, method, encodeJSONBody(body), key, legacy)));
    if (result.ok()) return std::nullopt;
    for (Code code : {Code::httpAuthCodeInvalid, Code::userNotFound, Code::wrongAuthCode, Code::invalidHmac,
                      Code::signatureIsInvalid, Code::transactionChecked})
        if (result.error().is(code)) return code;
    return Code::undefined;
}

class StandinSigningTest : public ::testing::TestWithParam<int> {};

TEST_P(StandinSigningTest, RefusesWrongHeadersCodesAndSignatures) {
    ScopedPlatform platform;
    const int version = GetParam();
    const bool legacy = version != 3;
    const HTTPMethod patch = legacy ? HTTPMethod::post : HTTPMethod::patch;
    StandinServer server(version);
    auto issued = server.issueUser();
    const Bytes kAuth = hexBytes(issued.kAuth);
    SVUser user(issued.userID, issued.systemID, SVUserOptions{UserFlags(issued.flags)}, server.baseURL(), std::nullopt,
                std::nullopt, std::int64_t{version}, std::nullopt, {}, 180, 180, "storage-1", 3,
                UserKeysContent::storedEncrypted(), 1900000000);
    ScopedSigningUser signer(user, hexBytes(issued.kHMAC));
    const std::string fingerprint = Keychain::deviceFingerprint(), publicKey = signer.publicKey().spkiHexString();
    // The path of a resource-protocol request, or the legacy endpoint.
    auto at = [&](std::vector<std::string> rest, const std::string& userID) {
        if (legacy) return std::vector<std::string>{"jsonrequest_v" + std::to_string(version)};
        std::vector<std::string> path{"jsonrequest_v3", issued.systemID, "users", userID};
        return path.insert(path.end(), rest.begin(), rest.end()), path;
    };
    // A legacy request of `type` with its auth_code, or the body as it is.
    auto legacyBody = [&](const std::string& type, ordered_json request, const Bytes& authCode) {
        if (!legacy) return request;
        request["system_id"] = user.systemID(), request["user_id"] = user.userID();
        request["auth_code"] = hexString(authCode);
        return ordered_json{{"request_type", type}, {"request_version", version}, {"request", std::move(request)},
                            {"$schema", "sigvane-request-schema-v" + std::to_string(version) + ".json"}};
    };
    auto item = [&](std::uint8_t tag, const std::string& value) {
        return Cryptor::authenticationCode(tag, value, user, kAuth, "label");
    };
    auto registration = [&](const Bytes& authCode) {
        return legacyBody("reg_pubkey", {{"public_key", publicKey}, {"device_fingerprint", fingerprint}}, authCode);
    };
    if (legacy) {
        auto fingerprinted = legacyBody("reg_fingerprint", {{"fingerprint", fingerprint}}, item(19, fingerprint));
        ASSERT_EQ(refusal(server, at({}, ""), fingerprinted, kAuth, true), std::nullopt);
        EXPECT_EQ(refusal(server, at({}, ""), registration(item(33, publicKey + "00")), kAuth, true), Code::wrongAuthCode);
    } else {
        Bytes wrong = kAuth;
        wrong[0] ^= 1;  // a wrong key, none, and the legacy header name
        for (auto [key, legacyHeader] : {std::pair<std::optional<Bytes>, bool>{wrong, false}, {std::nullopt, false}, {kAuth, true}})
            EXPECT_EQ(refusal(server, at({}, issued.userID), registration({}), key, legacyHeader, patch), Code::httpAuthCodeInvalid);
        EXPECT_EQ(refusal(server, at({}, "nobody"), registration({}), kAuth, false, patch), Code::userNotFound);
    }
    ASSERT_EQ(refusal(server, at({}, issued.userID), registration(item(33, publicKey)), kAuth, legacy, patch), std::nullopt);
    EXPECT_EQ(server.userState(issued.systemID, issued.userID)["public_key"], publicKey);

    // Confirmation and declination: the code over the transaction's content, the signature over the block.
    const std::string id = server.addTransaction({{"user_id", issued.userID}, {"text", "Pay 6"}, {"binary_data", "AQID"}});
    SVTransaction transaction(id, user.userID(), user.systemID(), 6, false, SVConfirmationType::online, "Pay 6", Bytes{1, 2, 3});
    SVConfirmation confirmation(transaction, user, false), otherData(Bytes{9}, user, hexBytes(issued.kHMAC));
    SVDeclination declination(transaction, user, false);
    std::string otherCode = confirmation.confirmationCode();
    otherCode[0] = otherCode[0] == '0' ? '1' : '0';
    Bytes authBlock = TLV::transactionID(id);
    TLV::append(authBlock, TLV::timeInterval(TimeManager::shared().discreteTimeInterval(180)));
    auto send = [&](const std::string& action, ordered_json answer) {
        answer["transaction_id"] = id;
        auto body = legacyBody(action + "_transaction", answer, Cryptor::authenticationCode(authBlock, kAuth));
        return refusal(server, at({"transactions", id, action}, issued.userID), body, kAuth, legacy);
    };
    auto confirm = [&](const std::string& code, const std::string& signature) {
        return send("confirm", {{"confirm_code", code}, {"signature", signature}});
    };
    auto decline = [&](const std::string& code) {
        return send("decline", {{"decline_code", code}, {"decline_reason", declination.declineReason()}});
    };
    EXPECT_EQ(confirm(otherCode, confirmation.signature()), Code::invalidHmac);
    EXPECT_EQ(confirm(confirmation.confirmationCode(), otherData.signature()), Code::signatureIsInvalid);
    EXPECT_EQ(decline(confirmation.confirmationCode()), Code::invalidHmac) << "a code without the reason";
    EXPECT_EQ(confirm(confirmation.confirmationCode(), confirmation.signature()), std::nullopt);
    EXPECT_EQ(decline(declination.declineCode()), Code::transactionChecked);
    EXPECT_EQ(server.transactionState(id)["state"], "confirmed");
    if (legacy) return;

    // Autosign: only the registered autosign key's signature counts.
    SecKey autosignKey = SecKey::generateP256().value();
    ASSERT_EQ(refusal(server, at({}, issued.userID), {{"autosign_public_key", autosignKey.spkiHexString()}}, kAuth, false, patch),
              std::nullopt);
    const std::string autoID = server.addTransaction({{"user_id", issued.userID}, {"text", "A"}, {"autosign", true}});
    SVTransaction automatic(autoID, user.userID(), user.systemID(), 6, false, SVConfirmationType::online, "A");
    auto autosign = [&](const std::string& signature) {
        return refusal(server, at({"transactions", autoID, "autoconfirm"}, issued.userID),
                       {{"signature", signature}, {"scoring_settings", {{"standin", {{"score", 1}}}}}}, kAuth);
    };
    EXPECT_EQ(autosign(SVConfirmation(automatic, user, false).signature()), Code::signatureIsInvalid);
    Bytes block = TLV::transactionConfirmation(automatic, user, std::nullopt, TimeManager::shared().discreteTimeInterval(180));
    EXPECT_EQ(autosign(hexString(SVConfirmation::sign(block, autosignKey))), std::nullopt);
    EXPECT_EQ(server.transactionState(autoID)["outcome"]["via"], "autosign");
}

INSTANTIATE_TEST_SUITE_P(Versions, StandinSigningTest, ::testing::Values(3, 2));

}  // namespace
}  // namespace svsdk::testing
