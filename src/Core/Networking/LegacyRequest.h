#pragma once
// The legacy request pipeline and the pieces of the legacy operations that
// are not operations of the interface themselves.
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include <svsdk/SVBytes.h>
#include <svsdk/SVUser.h>

#include "Core/Networking/APIInteractor.h"
#include "Core/Concurrency/Future.h"
#include "Core/Networking/LegacyRequestBody.h"
#include "Core/Security/SecKey.h"

namespace svsdk::legacy {

// Sends one legacy request for `user`: the envelope of `type` with
// `parameters`, POSTed to the interactor's endpoint URL once the user's
// device data has been collected and attached, signed with `authorizationKey`
// under "Authorization". Settles with the answer's body on status 200.
Future<Bytes> send(const APIInteractorLegacy& interactor, const SVUser& user, LegacyRequestType type,
                   LegacyRequestParameters parameters, Bytes authorizationKey);

// The three registration steps. Each has already succeeded, without a log
// line or a request, when it has nothing to register (no fingerprint option,
// no public key, no device token); each throws when its code cannot be
// computed.
Future<void> registerFingerprint(const APIInteractorLegacy& interactor, const SVUser& user,
                                 const Bytes& authorizationKey);
Future<void> registerPublicKey(const APIInteractorLegacy& interactor, const SVUser& user,
                               const std::optional<SecKey>& publicKey, const Bytes& authorizationKey);
Future<void> registerDeviceToken(const APIInteractorLegacy& interactor, const SVUser& user,
                                 const std::optional<std::string>& deviceToken, const Bytes& authorizationKey);

// The token, "####" and the host bundle identifier that start-up recorded
// (HostState: the application's own, or the containing application's in an
// extension; none: the empty text), joined with nothing between them. The v3
// push address names the same identifier.
std::string deviceIdentifier(const std::string& deviceToken);

// A legacy transaction record moved to the shape the transaction decoder
// reads: the nested "transaction_data" object's "transaction_text" and
// "binary_data" replace the top-level "text" and "binary_data" (a member that
// is not a non-empty text removes the top-level one). A record without such
// an object, or that is no object, is returned unchanged.
nlohmann::json flattenTransactionData(nlohmann::json data);

// The "get_transaction_data" answer: "answer" / "transaction_data" moved by
// flattenTransactionData, then read by transactionFromServerRecord (which
// says what it throws).
SVTransaction decodeTransactionDataAnswer(const Bytes& data, const std::string& transactionID,
                                          const std::string& userID, const std::string& systemID);

// Logs `message` ("Users") and throws SVError::endpointUnavailable.
[[noreturn]] void unavailable(const std::string& message);

}  // namespace svsdk::legacy
