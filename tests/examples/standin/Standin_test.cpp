// The stand-in signing server, run as its own process. The road tests trust
// what it accepts; here it refuses what a client got wrong, recomputing
// signing headers, codes and signatures with its own cryptography.
#include <gtest/gtest.h>

#include <httplib.h>

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

TEST(StandinServerTest, VersionProbesAnswerAsTheConfiguredVersion) {
    for (auto [version, health, v2, v1] : std::initializer_list<std::tuple<int, int, int, int>>{
             {3, 200, 404, 404}, {2, 404, 405, 404}, {1, 404, 404, 405}}) {
        StandinServer server(version);
        httplib::Client client("127.0.0.1", server.port());
        auto status = [&](const char* path) { auto r = client.Get(path); return r ? r->status : -1; };
        EXPECT_EQ(std::tuple(status("/health_check"), status("/jsonrequest_v2"), status("/jsonrequest_v1")),
                  std::tuple(health, v2, v1)) << version;
    }
}

class StandinSigningTest : public ::testing::TestWithParam<int> {
protected:
    ScopedPlatform platform;
};

TEST_P(StandinSigningTest, RefusesWrongHeadersCodesAndSignatures) {
    const int version = GetParam();
    const bool legacy = version != 3;
    StandinServer server(version);
    auto issued = server.issueUser();
    const Bytes kAuth = hexBytes(issued.kAuth);
    SVUser user(issued.userID, issued.systemID, SVUserOptions{UserFlags(issued.flags)}, server.baseURL(), std::nullopt,
                std::nullopt, std::int64_t{version}, std::nullopt, {}, 180, 180, "storage-1", 3,
                UserKeysContent::storedEncrypted(), 1900000000);
    ScopedSigningUser signer(user, hexBytes(issued.kHMAC));
    const std::string fingerprint = Keychain::deviceFingerprint(), publicKey = signer.publicKey().spkiHexString();
    const std::vector<std::string> endpoint{"jsonrequest_v" + std::to_string(version)};
    auto at = [&](std::vector<std::string> rest, std::string userID = "") {
        std::vector<std::string> path{"jsonrequest_v3", issued.systemID, "users", userID.empty() ? issued.userID : userID};
        return legacy ? endpoint : (path.insert(path.end(), rest.begin(), rest.end()), path);
    };
    auto envelope = [&](const std::string& type, ordered_json request) {
        return ordered_json{{"request_type", type}, {"request_version", version}, {"request", std::move(request)},
                            {"$schema", "sigvane-request-schema-v" + std::to_string(version) + ".json"}};
    };
    auto code = [&](std::uint8_t tag, const std::string& value) {
        return hexString(Cryptor::authenticationCode(tag, value, user, kAuth, "label"));
    };
    auto registration = [&](const std::string& key) -> std::pair<std::vector<std::string>, ordered_json> {
        if (!legacy) return {at({}), {{"public_key", publicKey}, {"device_fingerprint", fingerprint}}};
        return {endpoint, envelope("reg_pubkey", {{"system_id", user.systemID()}, {"user_id", user.userID()},
                                                  {"public_key", publicKey}, {"auth_code", code(33, key)}})};
    };
    const HTTPMethod patch = legacy ? HTTPMethod::post : HTTPMethod::patch;
    if (legacy) {
        EXPECT_EQ(refusal(server, endpoint, envelope("reg_fingerprint", {{"system_id", user.systemID()},
                  {"user_id", user.userID()}, {"fingerprint", fingerprint}, {"auth_code", code(19, fingerprint)}}),
                          kAuth, true), std::nullopt);
        auto [path, body] = registration(publicKey + "00");
        EXPECT_EQ(refusal(server, path, body, kAuth, true), Code::wrongAuthCode);
    } else {
        Bytes wrong = kAuth;
        wrong[0] ^= 1;
        auto [path, body] = registration(publicKey);
        EXPECT_EQ(refusal(server, path, body, wrong, false, patch), Code::httpAuthCodeInvalid);
        EXPECT_EQ(refusal(server, path, body, std::nullopt, false, patch), Code::httpAuthCodeInvalid);
        EXPECT_EQ(refusal(server, path, body, kAuth, true, patch), Code::httpAuthCodeInvalid) << "the legacy header";
        EXPECT_EQ(refusal(server, at({}, "nobody"), body, kAuth, false, patch), Code::userNotFound);
    }
    auto [path, body] = registration(publicKey);
    ASSERT_EQ(refusal(server, path, body, kAuth, legacy, patch), std::nullopt);
    EXPECT_EQ(server.userState(issued.systemID, issued.userID)["public_key"], publicKey);

    // Confirmation and declination: the code over the transaction's content and the signature over the block.
    const std::string id = server.addTransaction({{"user_id", issued.userID}, {"text", "Pay 6"}, {"binary_data", "AQID"}});
    SVTransaction transaction(id, user.userID(), user.systemID(), 6, false, SVConfirmationType::online, "Pay 6",
                              Bytes{1, 2, 3});
    SVConfirmation confirmation(transaction, user, false), otherData(Bytes{9}, user, hexBytes(issued.kHMAC));
    SVDeclination declination(transaction, user, false);
    std::string otherCode = confirmation.confirmationCode();
    otherCode[0] = otherCode[0] == '0' ? '1' : '0';
    auto send = [&](const char* action, ordered_json answer) {
        if (!legacy) return refusal(server, at({"transactions", id, action}), answer, kAuth);
        Bytes block = TLV::transactionID(id);
        TLV::append(block, TLV::timeInterval(TimeManager::shared().discreteTimeInterval(180)));
        answer["transaction_id"] = id;
        answer["auth_code"] = hexString(Cryptor::authenticationCode(block, kAuth));
        return refusal(server, endpoint, envelope(action + std::string("_transaction"), answer), kAuth, true);
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
    EXPECT_EQ(server.transactionState(id)["state"], "pending");
    EXPECT_EQ(confirm(confirmation.confirmationCode(), confirmation.signature()), std::nullopt);
    EXPECT_EQ(decline(declination.declineCode()), Code::transactionChecked);
    EXPECT_EQ(server.transactionState(id)["state"], "confirmed");
    if (legacy) return;

    // Autosign: only the registered autosign key's signature counts.
    SecKey autosignKey = SecKey::generateP256().value();
    ASSERT_EQ(refusal(server, at({}), {{"autosign_public_key", autosignKey.spkiHexString()}}, kAuth, false, patch),
              std::nullopt);
    const std::string autoID = server.addTransaction({{"user_id", issued.userID}, {"text", "A"}, {"autosign", true}});
    SVTransaction automatic(autoID, user.userID(), user.systemID(), 6, false, SVConfirmationType::online, "A");
    auto autosign = [&](const std::string& signature) {
        return refusal(server, at({"transactions", autoID, "autoconfirm"}),
                       {{"signature", signature}, {"scoring_settings", {{"standin", {{"score", 1}}}}}}, kAuth);
    };
    EXPECT_EQ(autosign(SVConfirmation(automatic, user, false).signature()), Code::signatureIsInvalid);
    EXPECT_EQ(autosign(hexString(SVConfirmation::sign(
                  TLV::transactionConfirmation(automatic, user, std::nullopt, TimeManager::shared().discreteTimeInterval(180)),
                  autosignKey))), std::nullopt);
    EXPECT_EQ(server.transactionState(autoID)["outcome"]["via"], "autosign");
}

INSTANTIATE_TEST_SUITE_P(Versions, StandinSigningTest, ::testing::Values(3, 2));

}  // namespace
}  // namespace svsdk::testing
