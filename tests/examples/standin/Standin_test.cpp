// The stand-in signing server, run as its own process: its version probes,
// the users it issues, and its checks of what the SDK's request, code and
// signature helpers produce.
#include <gtest/gtest.h>

#include <httplib.h>

#include <svsdk/SVConfirmation.h>
#include <svsdk/SVDeclination.h>
#include <svsdk/SVNetworkError.h>
#include <svsdk/SVTransaction.h>

#include "Core/Networking/APIInteractionManager.h"
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

int probeStatus(const StandinServer& server, const std::string& path) {
    httplib::Client client("127.0.0.1", server.port());
    auto result = client.Get(path.c_str());
    return result ? result->status : -1;
}

Bytes hexBytes(const std::string& text) { return bytesFromHex(text).value(); }

std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
        lines.push_back(text.substr(start, end - start));
    lines.push_back(text.substr(start));
    return lines;
}

// A request through the SDK's own building, signing and sending.
SVResult<Bytes> send(const StandinServer& server, const std::vector<std::string>& path, const ordered_json& body,
                     const std::optional<Bytes>& key, bool legacy = false, HTTPMethod method = HTTPMethod::post) {
    Endpoint endpoint(URL::parse(server.baseURL()).value(), path);
    return await(sendRequest(makeURLRequest(endpoint, method, encodeJSONBody(body), key, legacy)));
}

std::vector<std::string> userPath(const StandinServer::IssuedUser& user, std::vector<std::string> rest) {
    std::vector<std::string> path{"jsonrequest_v3", user.systemID, "users", user.userID};
    path.insert(path.end(), rest.begin(), rest.end());
    return path;
}

// The issued user as the SDK holds it once stored.
SVUser clientUser(const StandinServer& server, const StandinServer::IssuedUser& issued, int version) {
    return SVUser(issued.userID, issued.systemID, SVUserOptions{UserFlags(issued.flags)}, server.baseURL(),
                  std::nullopt, std::nullopt, std::int64_t{version}, std::nullopt, {}, 180, 180, "storage-1", 3,
                  UserKeysContent::storedEncrypted(), 1900000000);
}

bool refusedWith(const SVResult<Bytes>& result, SVNetworkError::Code code) {
    return !result.ok() && result.error().is(code);
}

TEST(StandinServerTest, VersionProbesAnswerAsTheConfiguredVersion) {
    struct Case {
        int version, health, v2, v1;
    };
    for (const Case& c : {Case{3, 200, 404, 404}, Case{2, 404, 405, 404}, Case{1, 404, 404, 405}}) {
        StandinServer server(c.version);
        EXPECT_EQ(probeStatus(server, "/health_check"), c.health) << c.version;
        EXPECT_EQ(probeStatus(server, "/jsonrequest_v2"), c.v2) << c.version;
        EXPECT_EQ(probeStatus(server, "/jsonrequest_v1"), c.v1) << c.version;
        // The client's own probe chain lands on the same version.
        APIInteractionManager manager;
        URL url = URL::parse(server.baseURL()).value();
        auto found = await(manager.fallback(url, 1, manager.fallback(url, 2, manager.checkHealth(url))));
        ASSERT_TRUE(found.ok());
        EXPECT_EQ(found.value(), c.version);
    }
}

TEST(StandinServerTest, AnIssuedUserIsNineLinesWithKeysUnderTheActivationCode) {
    StandinServer server;
    auto user = server.issueUser({{"user_id", "alice"}, {"flags", 3}});
    auto lines = splitLines(user.qr);
    ASSERT_EQ(lines.size(), 9u) << user.qr;
    EXPECT_EQ(lines[0], "202");
    EXPECT_EQ(lines[1], user.systemID);
    EXPECT_EQ(lines[2], "alice");
    EXPECT_EQ(lines[6], "3");
    EXPECT_EQ(lines[8], server.baseURL());
    Bytes blob = hexBytes(lines[4]);
    EXPECT_EQ(blob.size(), 96u);
    auto keys = Cryptor::decryptKeys(blob, "alice", user.activationCode);
    EXPECT_EQ(hexString(keys.kHMAC), user.kHMAC);
    EXPECT_EQ(hexString(keys.kAuth), user.kAuth);

    auto clear = server.issueUser({{"encrypted", false}});
    auto clearLines = splitLines(clear.qr);
    ASSERT_EQ(clearLines.size(), 9u);
    EXPECT_EQ(clearLines[0], "201");
    EXPECT_EQ(clearLines[4], clear.kHMAC + clear.kAuth);
    EXPECT_THROW(server.issueUser({{"user_id", "alice"}}), std::runtime_error);
}

TEST(StandinServerTest, TheSigningHeaderDecidesWhetherARequestIsServed) {
    StandinServer server;
    auto user = server.issueUser();
    std::string id = server.addTransaction({{"user_id", user.userID}});
    const Bytes kAuth = hexBytes(user.kAuth);

    auto list = [&](const StandinServer::IssuedUser& who, const std::optional<Bytes>& key, bool legacy = false) {
        return send(server, userPath(who, {"transactions", "get_list"}), ordered_json::object(), key, legacy);
    };
    auto served = list(user, kAuth);
    ASSERT_TRUE(served.ok());
    EXPECT_EQ(nlohmann::json::parse(stringOf(served.value()))["answer"]["transaction_list"], (nlohmann::json{id}));

    Bytes wrong = kAuth;
    wrong[0] ^= 1;
    EXPECT_TRUE(refusedWith(list(user, wrong), SVNetworkError::Code::httpAuthCodeInvalid));
    EXPECT_TRUE(refusedWith(list(user, std::nullopt), SVNetworkError::Code::httpAuthCodeInvalid));
    // The legacy header name does not count on the resource protocol.
    EXPECT_TRUE(refusedWith(list(user, kAuth, true), SVNetworkError::Code::httpAuthCodeInvalid));
    auto stranger = user;
    stranger.userID = "nobody";
    EXPECT_TRUE(refusedWith(list(stranger, kAuth), SVNetworkError::Code::userNotFound));

    auto log = server.requests();
    ASSERT_EQ(log.size(), 5u);
    EXPECT_EQ(log[0]["status"], 200);
    EXPECT_EQ(log[1]["error_code"], 288);
}

// The server's code and signature checks against the SDK's own confirmation,
// declination and legacy codes.
class StandinSigningTest : public ::testing::TestWithParam<int> {
protected:
    ScopedPlatform platform;
};

TEST_P(StandinSigningTest, ConfirmationsAndDeclinationsOfTheSdkAreAcceptedAndTamperedOnesRefused) {
    const int version = GetParam();
    const bool legacy = version != 3;
    StandinServer server(version);
    auto issued = server.issueUser();
    const Bytes kAuth = hexBytes(issued.kAuth);
    SVUser user = clientUser(server, issued, version);
    ScopedSigningUser signer(user, hexBytes(issued.kHMAC));
    const std::string fingerprint = Keychain::deviceFingerprint();
    const std::string publicKey = signer.publicKey().spkiHexString();
    const double authStep = TimeManager::shared().discreteTimeInterval(180);
    const std::string endpoint = "jsonrequest_v" + std::to_string(version);
    auto envelope = [&](const std::string& type, ordered_json request) {
        return ordered_json{{"request_type", type},
                            {"request_version", version},
                            {"request", std::move(request)},
                            {"$schema", "sigvane-request-schema-v" + std::to_string(version) + ".json"}};
    };

    // Registration of the fingerprint and the public key.
    if (legacy) {
        auto code = [&](std::uint8_t tag, const std::string& value) {
            return hexString(Cryptor::authenticationCode(tag, value, user, kAuth, "label"));
        };
        ASSERT_TRUE(send(server, {endpoint},
                         envelope("reg_fingerprint", {{"system_id", user.systemID()},
                                                      {"user_id", user.userID()},
                                                      {"fingerprint", fingerprint},
                                                      {"auth_code", code(19, fingerprint)}}),
                         kAuth, true)
                        .ok());
        auto wrongCode = envelope("reg_pubkey", {{"system_id", user.systemID()},
                                                 {"user_id", user.userID()},
                                                 {"public_key", publicKey},
                                                 {"auth_code", code(33, publicKey + "00")}});
        EXPECT_TRUE(refusedWith(send(server, {endpoint}, wrongCode, kAuth, true), SVNetworkError::Code::wrongAuthCode));
        ASSERT_TRUE(send(server, {endpoint},
                         envelope("reg_pubkey", {{"system_id", user.systemID()},
                                                 {"user_id", user.userID()},
                                                 {"public_key", publicKey},
                                                 {"auth_code", code(33, publicKey)}}),
                         kAuth, true)
                        .ok());
    } else {
        ASSERT_TRUE(send(server, userPath(issued, {}), {{"public_key", publicKey}, {"device_fingerprint", fingerprint}},
                         kAuth, false, HTTPMethod::patch)
                        .ok());
    }
    auto state = server.userState(issued.systemID, issued.userID);
    EXPECT_EQ(state["public_key"], publicKey);
    EXPECT_EQ(state["fingerprint"], fingerprint);

    const std::string confirmedID = server.addTransaction({{"user_id", issued.userID}, {"text", "Pay 5"}});
    const std::string declinedID =
        server.addTransaction({{"user_id", issued.userID}, {"text", "Pay 6"}, {"binary_data", "AQID"}});
    SVTransaction toConfirm(confirmedID, user.userID(), user.systemID(), 6, false, SVConfirmationType::online, "Pay 5");
    SVTransaction toDecline(declinedID, user.userID(), user.systemID(), 6, false, SVConfirmationType::online, "Pay 6",
                            Bytes{1, 2, 3});
    SVConfirmation confirmation(toConfirm, user, false);
    SVDeclination declination(toDecline, user, false);
    auto auth = [&](const std::string& id) {
        Bytes block = TLV::transactionID(id);
        TLV::append(block, TLV::timeInterval(authStep));
        return hexString(Cryptor::authenticationCode(block, kAuth));
    };
    auto confirmBody = [&](const std::string& code, const std::string& signature) -> ordered_json {
        if (legacy)
            return envelope("confirm_transaction", {{"transaction_id", confirmedID},
                                                    {"confirm_code", code},
                                                    {"signature", signature},
                                                    {"auth_code", auth(confirmedID)}});
        return {{"confirm_code", code}, {"signature", signature}};
    };
    auto confirmPath =
        legacy ? std::vector<std::string>{endpoint} : userPath(issued, {"transactions", confirmedID, "confirm"});

    std::string otherCode = confirmation.confirmationCode();
    otherCode[0] = otherCode[0] == '0' ? '1' : '0';
    SVConfirmation otherData(Bytes{9}, user, hexBytes(issued.kHMAC));
    EXPECT_TRUE(refusedWith(send(server, confirmPath, confirmBody(otherCode, confirmation.signature()), kAuth, legacy),
                            SVNetworkError::Code::invalidHmac));
    EXPECT_TRUE(refusedWith(
        send(server, confirmPath, confirmBody(confirmation.confirmationCode(), otherData.signature()), kAuth, legacy),
        SVNetworkError::Code::signatureIsInvalid));
    ASSERT_TRUE(
        send(server, confirmPath, confirmBody(confirmation.confirmationCode(), confirmation.signature()), kAuth, legacy)
            .ok());
    EXPECT_EQ(server.transactionState(confirmedID)["state"], "confirmed");
    EXPECT_TRUE(refusedWith(send(server, confirmPath,
                                 confirmBody(confirmation.confirmationCode(), confirmation.signature()), kAuth, legacy),
                            SVNetworkError::Code::transactionChecked));

    ordered_json declineBody{{"decline_code", declination.declineCode()},
                             {"decline_reason", declination.declineReason()}};
    if (legacy) {
        declineBody = envelope("decline_transaction", {{"transaction_id", declinedID},
                                                       {"decline_code", declination.declineCode()},
                                                       {"decline_reason", declination.declineReason()},
                                                       {"auth_code", auth(declinedID)}});
    }
    auto declinePath =
        legacy ? std::vector<std::string>{endpoint} : userPath(issued, {"transactions", declinedID, "decline"});
    ASSERT_TRUE(send(server, declinePath, declineBody, kAuth, legacy).ok());
    EXPECT_EQ(server.transactionState(declinedID)["state"], "declined");
}

TEST(StandinResourceTest, BinaryDataLoginAutosignAndRenewalCheckWhatTheSdkComputes) {
    ScopedPlatform platform;
    StandinServer server;
    auto issued = server.issueUser();
    const Bytes kAuth = hexBytes(issued.kAuth), kHMAC = hexBytes(issued.kHMAC);
    SVUser user = clientUser(server, issued, 3);
    ScopedSigningUser signer(user, kHMAC);
    auto ok = [](const SVResult<Bytes>& result) {
        EXPECT_TRUE(result.ok());
        return result.ok() ? nlohmann::json::parse(stringOf(result.value()), nullptr, false) : nlohmann::json();
    };
    ok(send(server, userPath(issued, {}),
            {{"public_key", signer.publicKey().spkiHexString()}, {"device_fingerprint", Keychain::deviceFingerprint()}},
            kAuth, false, HTTPMethod::patch));

    // Binary data from its own URL, signed like every resource request.
    auto created = server.admin("POST", "transactions",
                                {{"user_id", issued.userID}, {"binary_data", "AQID"}, {"binary_via_url", true}});
    Endpoint binary(URL::parse(created["binary_data_url"].get<std::string>()).value());
    auto data = await(sendRequest(makeURLRequest(binary, HTTPMethod::post, encodeJSONBody({}), kAuth, false)));
    ASSERT_TRUE(data.ok());
    EXPECT_EQ(data.value(), (Bytes{1, 2, 3}));

    // A login session: unsigned lookup, then a confirmation over text and pulp.
    auto login = server.addLogin({{"user_id", issued.userID}, {"text", "Log in"}});
    auto qr = nlohmann::json::parse(login["qr"].get<std::string>());
    Endpoint lookup(URL::parse(qr["loqUrl"].get<std::string>()).value(), {"client", "getTransactionId"});
    auto named = await(sendRequest(makeURLRequest(lookup, HTTPMethod::post,
                                                  encodeJSONBody({{"userId", issued.userID}, {"sessionId", qr["sid"]}}),
                                                  std::nullopt, false)));
    ASSERT_TRUE(named.ok());
    const std::string loginID = login["transaction_id"];
    EXPECT_EQ(nlohmann::json::parse(stringOf(named.value()))["transactionId"], loginID);
    SVTransaction loginTransaction(loginID, user.userID(), user.systemID(), 6, false, SVConfirmationType::online,
                                   "Log in", base64Decode(qr["pulp"].get<std::string>()));
    SVConfirmation loginConfirmation(loginTransaction, user, false);
    ok(send(server, userPath(issued, {"transactions", loginID, "confirm"}),
            {{"confirm_code", loginConfirmation.confirmationCode()}, {"signature", loginConfirmation.signature()}},
            kAuth));
    EXPECT_EQ(server.transactionState(loginID)["state"], "confirmed");

    // Autosign: only the registered autosign key's signature counts.
    SecKey autosignKey = SecKey::generateP256().value();
    ok(send(server, userPath(issued, {}), {{"autosign_public_key", autosignKey.spkiHexString()}}, kAuth, false,
            HTTPMethod::patch));
    const std::string autoID =
        server.addTransaction({{"user_id", issued.userID}, {"text", "Auto"}, {"autosign", true}});
    auto list =
        ok(send(server, userPath(issued, {"transactions", "get_autoconfirm_list"}), ordered_json::object(), kAuth));
    EXPECT_EQ(list["answer"]["transaction_list"], (nlohmann::json{autoID}));
    SVTransaction autoTransaction(autoID, user.userID(), user.systemID(), 6, false, SVConfirmationType::online, "Auto");
    Bytes block = TLV::transactionConfirmation(autoTransaction, user, std::nullopt,
                                               TimeManager::shared().discreteTimeInterval(180));
    auto autosignBody = [&](const SVConfirmation& made) -> ordered_json {
        return {{"signature", made.signature()}, {"scoring_settings", {{"standin", {{"score", 1}}}}}};
    };
    SVConfirmation withUserKey(autoTransaction, user, false);
    EXPECT_TRUE(refusedWith(
        send(server, userPath(issued, {"transactions", autoID, "autoconfirm"}), autosignBody(withUserKey), kAuth),
        SVNetworkError::Code::signatureIsInvalid));
    ordered_json signedBody{{"signature", hexString(SVConfirmation::sign(block, autosignKey))},
                            {"scoring_settings", {{"standin", {{"score", 1}}}}}};
    ok(send(server, userPath(issued, {"transactions", autoID, "autoconfirm"}), signedBody, kAuth));
    EXPECT_EQ(server.transactionState(autoID)["outcome"]["via"], "autosign");

    // Renewal: the answer to the challenge, then new keys under the code made
    // of the old ones.
    auto challenge = ok(send(server, userPath(issued, {"key", "renew", "challenge"}), ordered_json::object(), kAuth));
    Bytes signedData = hexBytes(challenge["answer"]["renew_key_challenge"]["challenge"].get<std::string>());
    const Bytes salt(32, 7);
    signedData.insert(signedData.end(), salt.begin(), salt.end());
    SVConfirmation answer(signedData, user, kHMAC);
    auto renewed = ok(send(
        server, userPath(issued, {"key", "renew", "response"}),
        {{"signature", answer.signature()}, {"salt", hexString(salt)}, {"hmac", answer.confirmationCode()}}, kAuth));
    auto record = nlohmann::json::parse(renewed["answer"]["key_updated"]["key_json"].get<std::string>());
    Bytes old = kHMAC;
    old.insert(old.end(), kAuth.begin(), kAuth.end());
    auto keys = Cryptor::decryptKeys(base64Decode(record["encrypted_key_content"].get<std::string>()).value(),
                                     issued.userID, hexString(Cryptor::sha256(old)));
    auto state = server.userState(issued.systemID, issued.userID);
    EXPECT_EQ(hexString(keys.kAuth), state["k_auth"]);
    EXPECT_EQ(state["renewals"], 1);
    EXPECT_TRUE(refusedWith(send(server, userPath(issued, {"transactions", "get_list"}), ordered_json::object(), kAuth),
                            SVNetworkError::Code::httpAuthCodeInvalid));
    EXPECT_TRUE(send(server, userPath(issued, {"transactions", "get_list"}), ordered_json::object(), keys.kAuth).ok());
}

INSTANTIATE_TEST_SUITE_P(Versions, StandinSigningTest, ::testing::Values(3, 2));

}  // namespace
}  // namespace svsdk::testing
