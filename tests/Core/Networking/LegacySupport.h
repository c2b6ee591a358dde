#pragma once
// Shared by the legacy-protocol tests: a signing user whose kAuth is cached,
// a loopback server that answers every legacy envelope by its request type,
// and the codes recomputed with OpenSSL alone.
#include <openssl/hmac.h>
#include <openssl/sha.h>

#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "Core/Networking/APIInteractor.h"
#include "Core/Security/HandlesManager.h"
#include "support/LoopbackServer.h"
#include "support/SigningUser.h"

namespace svsdk::testing {

inline const Bytes& legacyKAuth() {
    static const Bytes key = numbered(32, 0x40);
    return key;
}

// A signing user whose authorization key is cached, reached at `url`.
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

// Answers POST <prefix>/jsonrequest_v<version> by "request_type" (200 {} for
// types without a script).
class LegacyServer {
public:
    explicit LegacyServer(std::int64_t version, const std::string& prefix = "") : version_(version), prefix_(prefix) {
        server.answer("POST", path(), [this](const RecordedRequest& request) {
            std::string type = nlohmann::json::parse(request.body, nullptr, false).value("request_type", "");
            std::lock_guard guard(lock_);
            auto found = answers_.find(type);
            return found == answers_.end() ? ScriptedAnswer::json(200, "{}") : found->second;
        });
    }
    std::int64_t version() const { return version_; }
    std::string path() const { return prefix_ + "/jsonrequest_v" + std::to_string(version_); }
    std::string baseURL() const { return server.baseURL() + prefix_; }
    URL url() const { return URL::parse(baseURL()).value(); }
    void answer(const std::string& type, ScriptedAnswer answer) {
        std::lock_guard guard(lock_);
        answers_[type] = std::move(answer);
    }
    std::vector<nlohmann::json> bodies() const {
        std::vector<nlohmann::json> result;
        for (const auto& request : server.requests())
            if (request.method == "POST") result.push_back(nlohmann::json::parse(request.body));
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

// --- Recomputed with OpenSSL: nothing of the SDK's own code is used.

inline std::string hex(const unsigned char* data, std::size_t size) {
    static const char* digits = "0123456789abcdef";
    std::string text;
    for (std::size_t i = 0; i < size; ++i) {
        text += digits[data[i] >> 4];
        text += digits[data[i] & 15];
    }
    return text;
}

inline std::string hmacHex(const Bytes& key, const std::string& data) {
    unsigned char mac[32];
    unsigned int length = 0;
    HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()), reinterpret_cast<const unsigned char*>(data.data()),
         data.size(), mac, &length);
    return hex(mac, length);
}

// The "Authorization" header of a body.
inline std::string authorizationOf(const std::string& body) {
    unsigned char digest[32];
    SHA256(reinterpret_cast<const unsigned char*>(body.data()), body.size(), digest);
    return hmacHex(legacyKAuth(), std::string(reinterpret_cast<char*>(digest), 32));
}

inline std::string tlvItem(unsigned char tag, const std::string& value) {
    std::string item(1, static_cast<char>(tag));
    for (int shift = 24; shift >= 0; shift -= 8) item += static_cast<char>((value.size() >> shift) & 0xff);
    return item + value;
}

inline std::string tlvTime(double time) {
    auto whole = static_cast<std::uint64_t>(time);
    std::string value;
    for (int shift = 56; shift >= 0; shift -= 8) value += static_cast<char>((whole >> shift) & 0xff);
    std::size_t zeros = value.find_first_not_of('\0');
    if (zeros != std::string::npos) value.erase(0, zeros);
    return tlvItem(20, value);
}

}  // namespace svsdk::testing
