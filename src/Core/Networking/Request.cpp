#include "Core/Networking/Request.h"

#include <svsdk/SVNetworkError.h>

#include "Core/Diagnostics/Logger.h"
#include "Core/Networking/RequestSettings.h"
#include "Core/Security/Cryptor.h"
#include "Core/Utilities/Encoding.h"
#include "Core/Utilities/JSON.h"

namespace svsdk {

const char* rawValue(HTTPMethod method) noexcept {
    switch (method) {
        case HTTPMethod::get: return "GET";
        case HTTPMethod::post: return "POST";
        case HTTPMethod::patch: return "PATCH";
    }
    return "GET";
}

std::optional<HTTPMethod> httpMethodFromRawValue(std::string_view rawValue) noexcept {
    if (rawValue == "GET") return HTTPMethod::get;
    if (rawValue == "POST") return HTTPMethod::post;
    if (rawValue == "PATCH") return HTTPMethod::patch;
    return std::nullopt;
}

Endpoint::Endpoint(const URL& base, const std::vector<std::string>& path) : url(base) {
    for (const auto& component : path) url = url.appendingPathComponent(component);
}

std::optional<std::int64_t> integerMember(const nlohmann::json& object, const std::string& key) {
    if (!object.is_object()) return std::nullopt;
    auto found = object.find(key);
    if (found == object.end()) return std::nullopt;
    return exactInteger(*found);
}

Bytes encodeJSONBody(const nlohmann::ordered_json& body) {
    requireEncodableNumbers(body);
    std::string text = body.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
    Bytes bytes(text.begin(), text.end());
    secureWipe(text);
    return bytes;
}

std::optional<std::string> requestSignature(const Bytes& authorizationKey, const Bytes& body) {
    Bytes hash = Cryptor::sha256(body);
    Logger::log(SVLogCategory::network, [&] { return "Hash: " + hexString(hash); });
    auto mac = Cryptor::hmac(authorizationKey, hash);
    std::optional<std::string> signature;
    if (mac) signature = hexString(*mac);
    Logger::log(SVLogCategory::network, [&] { return "Authorization: " + signature.value_or(""); });
    return signature;
}

URLRequest makeURLRequest(const Endpoint& endpoint, HTTPMethod method, Bytes body,
                          const std::optional<Bytes>& authorizationKey, bool useStandardHeader) {
    URLRequest request;
    request.url = endpoint.url.absoluteString();
    request.timeoutInterval = requestsTimeoutInterval();
    request.httpMethod = rawValue(method);
    request.headers.set("Content-Type", "application/json; charset=utf-8");
    if (authorizationKey) {
        Logger::secret([&] { return "Kauth: " + hexString(*authorizationKey); });
        if (auto signature = requestSignature(*authorizationKey, body))
            request.headers.set(useStandardHeader ? "Authorization" : "SV-Authorization", *signature);
    }
    request.httpBody = std::move(body);
    return request;
}

}  // namespace svsdk
