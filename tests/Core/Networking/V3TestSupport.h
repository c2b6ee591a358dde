#pragma once
// A v3 server on loopback and a user of it ready to sign: kAuth and kHMAC
// cached, a signing key pair, fixed clocks. Recorded requests are checked
// with an independent recomputation of the signing header.
#include <gtest/gtest.h>

#include <openssl/hmac.h>
#include <openssl/sha.h>

#include <memory>
#include <string>

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

inline std::string hmacHex(const Bytes& key, const unsigned char* data, std::size_t length) {
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int outLength = 0;
    HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()), data, length, out, &outLength);
    return hexString(out, outLength);
}

// HMAC-SHA256 keyed with kAuth over the SHA-256 of the body bytes.
inline std::string expectedSignature(const Bytes& kAuth, const std::string& body) {
    unsigned char digest[SHA256_DIGEST_LENGTH];
    SHA256(reinterpret_cast<const unsigned char*>(body.data()), body.size(), digest);
    return hmacHex(kAuth, digest, sizeof digest);
}

inline std::string hmacOf(const Bytes& key, const Bytes& data) { return hmacHex(key, data.data(), data.size()); }

// No member anywhere is null.
inline void expectNoNull(const nlohmann::json& value, const std::string& path = "") {
    ASSERT_FALSE(value.is_null()) << path;
    if (value.is_object())
        for (const auto& [key, member] : value.items()) expectNoNull(member, path + "." + key);
    if (value.is_array())
        for (const auto& element : value) expectNoNull(element, path + "[]");
}

class V3Fixture : public ::testing::Test {
public:
    static constexpr double kNow = 1800000000;

    explicit V3Fixture(std::int64_t flags = 0, SVLoggingOptions options = SVLoggingOptions{})
        : platform_(options),
          clock_(kNow, 1000),
          signing_(makeServerUser("u-1", flags)),
          v3_(URL::parse(server_.baseURL()).value()) {
        HandlesManager::shared().add(kAuth(), HandleType::auth, user());
    }
    ~V3Fixture() override { HandlesManager::shared().removeAll(); }

    SVUser makeServerUser(const std::string& userID, std::int64_t flags, const std::string& storageID = "S1") {
        return SVUser(userID, "system-1", SVUserOptions{UserFlags(flags)}, server_.baseURL(), std::nullopt,
                      std::nullopt, std::int64_t{3}, std::nullopt, {}, 180, 180, storageID, 3,
                      UserKeysContent::storedEncrypted(), 1900000000);
    }

    const SVUser& user() const { return signing_.user(); }
    const APIInteractor& api() const { return v3_; }
    const APIInteractorV3& v3() const { return v3_; }
    std::string userPath(const std::string& rest = "") const {
        return "/jsonrequest_v3/system-1/users/" + user().userID() + rest;
    }

    // The only recorded request, checked for the signing header and a body
    // without nulls; its body parsed.
    nlohmann::json signedBody(const RecordedRequest& request, const Bytes& key = kAuth()) const {
        EXPECT_EQ(request.header("SV-Authorization"), std::optional<std::string>(expectedSignature(key, request.body)))
            << request.path;
        EXPECT_FALSE(request.header("Authorization").has_value());
        auto json = nlohmann::json::parse(request.body);
        expectNoNull(json);
        return json;
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
