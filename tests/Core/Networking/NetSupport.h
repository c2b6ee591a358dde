#pragma once
// The protocol tests' loopback servers, users ready to sign, and codes recomputed with OpenSSL alone.
#include <gtest/gtest.h>
#include <openssl/hmac.h>
#include <openssl/sha.h>

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "Core/Networking/APIInteractor.h"
#include "Core/Security/HandlesManager.h"
#include "Core/Time/TimeManager.h"
#include "Core/Utilities/Encoding.h"
#include "support/Await.h"
#include "support/LoopbackServer.h"
#include "support/ScopedClock.h"
#include "support/SigningUser.h"
#include "support/TestEnvironment.h"

namespace svsdk::testing {

inline std::string hmacHex(const Bytes& key, const std::string& data) {
    unsigned char mac[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()), reinterpret_cast<const unsigned char*>(data.data()),
         data.size(), mac, &length);
    return hexString(mac, length);
}
inline std::string hmacHex(const Bytes& key, const Bytes& data) { return hmacHex(key, stringOf(data)); }

// The signing header of a body: HMAC-SHA256 keyed with kAuth over its SHA-256.
inline std::string expectedSignature(const Bytes& kAuth, const std::string& body) {
    unsigned char digest[SHA256_DIGEST_LENGTH];
    SHA256(reinterpret_cast<const unsigned char*>(body.data()), body.size(), digest);
    return hmacHex(kAuth, std::string(reinterpret_cast<char*>(digest), sizeof digest));
}

// --- Legacy protocol: a user whose kAuth is cached, a server answering by "request_type".

inline const Bytes& legacyKAuth() {
    static const Bytes key = numbered(32, 0x40);
    return key;
}

inline SVUser legacyUser(const std::string& userID, std::int64_t flags, const std::string& url) {
    return SVUser(userID, "system-1", SVUserOptions{UserFlags(flags)}, url, std::nullopt, std::nullopt,
                  std::int64_t{2}, std::nullopt, {}, 180, 30, "storage-1", 3, UserKeysContent::storedEncrypted(),
                  1900000000);
}

class ScopedLegacyUser : public ScopedSigningUser {
public:
    explicit ScopedLegacyUser(SVUser user) : ScopedSigningUser(std::move(user)) {
        HandlesManager::shared().add(legacyKAuth(), HandleType::auth, this->user());
    }
    ~ScopedLegacyUser() { HandlesManager::shared().remove(HandleType::auth, user()); }
};

// Answers POST <prefix>/jsonrequest_v<version> by "request_type" (200 {} by default).
class LegacyServer {
public:
    explicit LegacyServer(std::int64_t version, const std::string& prefix = "") : version_(version), prefix_(prefix) {
        server.answer("POST", prefix_ + "/jsonrequest_v" + std::to_string(version_), [this](const RecordedRequest& r) {
            std::string type = nlohmann::json::parse(r.body, nullptr, false).value("request_type", "");
            std::lock_guard guard(lock_);
            return answers_.contains(type) ? answers_[type] : ScriptedAnswer::json(200, "{}");
        });
    }
    std::int64_t version() const { return version_; }
    std::string baseURL() const { return server.baseURL() + prefix_; }
    URL url() const { return URL::parse(baseURL()).value(); }
    void answer(const std::string& type, ScriptedAnswer answer) {
        std::lock_guard guard(lock_);
        answers_[type] = std::move(answer);
    }
    std::vector<nlohmann::json> bodies() const {
        std::vector<nlohmann::json> result;
        for (const auto& request : server.requests()) result.push_back(nlohmann::json::parse(request.body));
        return result;
    }
    std::vector<std::string> types() const {
        std::vector<std::string> result;
        for (const auto& body : bodies()) result.push_back(body["request_type"]);
        return result;
    }

    LoopbackServer server;

private:
    std::int64_t version_;
    std::string prefix_;
    std::mutex lock_;
    std::map<std::string, ScriptedAnswer> answers_;
};

// --- Version 3: a user of the loopback server with kAuth and kHMAC cached, a signing pair, a fixed clock.
class V3Fixture : public ::testing::Test {
public:
    static constexpr double kNow = 1800000000;

    explicit V3Fixture(std::int64_t flags = 0, SVLoggingOptions options = SVLoggingOptions{})
        : platform_(options), clock_(kNow, 1000), signing_(makeServerUser("u-1", flags)),
          v3_(URL::parse(server_.baseURL()).value()) {
        HandlesManager::shared().add(kAuth(), HandleType::auth, user());
    }
    ~V3Fixture() override { HandlesManager::shared().removeAll(); }
    void TestBody() override {}

    SVUser makeServerUser(const std::string& userID, std::int64_t flags, const std::string& storageID = "S1") {
        return SVUser(userID, "system-1", SVUserOptions{UserFlags(flags)}, server_.baseURL(), std::nullopt,
                      std::nullopt, std::int64_t{3}, std::nullopt, {}, 180, 180, storageID, 3,
                      UserKeysContent::storedEncrypted(), 1900000000);
    }
    const SVUser& user() const { return signing_.user(); }
    const APIInteractor& api() const { return v3_; }
    std::string userPath(const std::string& rest = "") const {
        return "/jsonrequest_v3/system-1/users/" + user().userID() + rest;
    }
    // A request's body, checked for its signing header and for no null member.
    nlohmann::json signedBody(const RecordedRequest& request, const Bytes& key = kAuth()) const {
        EXPECT_EQ(request.header("SV-Authorization"), expectedSignature(key, request.body)) << request.path;
        EXPECT_FALSE(request.header("Authorization").has_value());
        EXPECT_EQ(request.body.find("null"), std::string::npos) << request.body;
        return nlohmann::json::parse(request.body);
    }
    RecordedRequest onlyRequest() const {
        auto requests = server_.requests();
        EXPECT_EQ(requests.size(), 1u);
        return requests.empty() ? RecordedRequest{} : requests.back();
    }
    static Bytes kAuth() { return numbered(32, 0xA0); }

    LoopbackServer server_;
    ScopedPlatform platform_;
    ScopedClock clock_;
    ScopedSigningUser signing_;
    APIInteractorV3 v3_;
};

}  // namespace svsdk::testing
