#pragma once
// How a server call is described before it is sent: where it goes
// (`Endpoint`), with which method (`HTTPMethod`) and with which JSON body
// (`Request`), and how it becomes a signed `URLRequest`.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include <svsdk/SVBytes.h>

#include "Core/Concurrency/Future.h"
#include "Core/Networking/HTTPSession.h"
#include "Core/Utilities/URL.h"

namespace svsdk {

enum class HTTPMethod { get, post, patch };

// "GET", "POST", "PATCH".
const char* rawValue(HTTPMethod method) noexcept;
// Exactly one of those three texts (case-sensitive); nothing otherwise.
std::optional<HTTPMethod> httpMethodFromRawValue(std::string_view rawValue) noexcept;

struct Endpoint {
    URL url;

    explicit Endpoint(URL url) : url(std::move(url)) {}
    // `base` with each of `path` appended in order as one whole path
    // component (URL::appendingPathComponent): identifiers go out as they
    // are, but "/" and a dot segment are escaped, so a component can never
    // move the request to another path.
    Endpoint(const URL& base, const std::vector<std::string>& path);
};

// Builds the request: the host's timeout read now, the method, the JSON body,
// "Content-Type", and with an authorization key the signing header over
// exactly those body bytes ("Authorization" when `useStandardHeader`,
// otherwise "SV-Authorization").
URLRequest makeURLRequest(const Endpoint& endpoint, HTTPMethod method, Bytes body,
                          const std::optional<Bytes>& authorizationKey, bool useStandardHeader);

// The signing header's value: lowercase hex of HMAC-SHA256(key, SHA-256 of
// `body`), or nothing when the primitive fails.
std::optional<std::string> requestSignature(const Bytes& authorizationKey, const Bytes& body);

// Compact JSON text of a body; members in the order in which the body writes
// them. Text that is not valid UTF-8 is written with U+FFFD in place of each
// bad sequence. A NaN or infinite number throws the encoder's error
// (SVPlatformError "json", kJSONInvalidValue), never written as null.
Bytes encodeJSONBody(const nlohmann::ordered_json& body);

// The member `key` of `object` when it is a JSON number that is exactly a
// signed 64-bit integer (208 or 208.0; not 208.5, a string or a boolean).
std::optional<std::int64_t> integerMember(const nlohmann::json& object, const std::string& key);

// A request with a body of any type that converts to nlohmann::ordered_json
// (through `to_json(nlohmann::ordered_json&, const Body&)`).
template <class Body>
struct Request {
    Endpoint endpoint;
    HTTPMethod method;
    Body body;

    // The encoded body; throws the encoder's error.
    Bytes jsonBody() const {
        nlohmann::ordered_json json = body;
        return encodeJSONBody(json);
    }

    // Throws the encoder's error, and nothing else.
    URLRequest urlRequest(const std::optional<Bytes>& authorizationKey, bool useStandardHeader) const {
        return makeURLRequest(endpoint, method, jsonBody(), authorizationKey, useStandardHeader);
    }
};

// The same as a step on a future of a request: an encoding error fails the
// returned future.
template <class Body>
Future<URLRequest> urlRequestFuture(const Future<Request<Body>>& request, std::optional<Bytes> authorizationKey,
                                    bool useStandardHeader) {
    return request.transformed([key = std::move(authorizationKey), useStandardHeader](const Request<Body>& value) {
        return value.urlRequest(key, useStandardHeader);
    });
}

// How the body of an answer is logged: as ordinary text (with `debug`), or,
// for an answer that holds key content, only with `debug` and `keys` (the
// line ends at its colon with `debug` alone).
enum class AnswerBody { plain, secret };

// Sends `request` through `session` (the shared one unless given). The future
// settles on the network thread: with the body on status 200 (empty bytes
// when there is none); with `SVNetworkError::serverDoesNotRespond` when the
// transfer did not complete, whatever status was seen; otherwise with the
// server's error code from "answer" / "result" / "error_code", or `undefined`.
Future<Bytes> sendRequest(URLRequest request, HTTPSession& session = HTTPSession::shared(),
                          AnswerBody answer = AnswerBody::plain);

// Settles `promise` from a finished transfer, as described above.
void handleResponse(TransferResult result, const Promise<Bytes>& promise, AnswerBody answer = AnswerBody::plain);

}  // namespace svsdk
