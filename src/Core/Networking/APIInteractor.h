#pragma once
// The protocol object through which every server operation of a user goes:
// `APIInteractorV3` for servers of API version 3, `APIInteractorLegacy` for
// versions 1 and 2. Both are made by `APIInteractionManager::interactor`;
// the rest of the SDK calls them only through `APIInteractor`.
//
// Every operation may throw before anything is sent (for instance when the
// user's authorization key is unavailable); every later failure arrives
// through the returned future. Callers run them inside a chained step, so a
// thrown error fails the caller's chain.
//
// Scoring values cross the interface as JSON: the templates below turn a
// host's parameters into JSON (and JSON settings into the host's type) and
// call the virtual forms.
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include <svsdk/SVError.h>
#include <svsdk/SVExtendedAuth.h>
#include <svsdk/SVLogin.h>
#include <svsdk/SVScoring.h>
#include <svsdk/SVTransaction.h>
#include <svsdk/SVUser.h>

#include "Core/Concurrency/Future.h"
#include "Core/Security/SecKey.h"
#include "Core/Utilities/URL.h"

namespace svsdk {

// Scoring parameters with their parameters already in JSON form.
using JSONScoringParameters = SVScoringParameters<nlohmann::ordered_json>;
// Scoring settings before they are decoded into the host's type: the
// provider's name and its settings object.
using JSONScoringSettings = SVScoringSettings<nlohmann::json>;

// The reading of answers: each step below takes the body of an answer with
// status 200 and gives what the operation settles with, or throws what fails
// it: SVPlatformError "json" for a body that is not JSON or goes beyond the
// parser's limits of depth and values (parseExternalJSON),
// SVError::missingRequestedData for a body that is no object or a member that
// is missing or of another type, SVDecodingError for a record the decoder
// refuses. None keeps any state, so each can be run on any bytes alone.

// The "answer" object of an answer of either protocol.
nlohmann::json answerObject(const Bytes& data);
// "answer" / "transaction_list" of either protocol (also the autosign list):
// no list, or one with a member that is not text, is the empty list.
std::vector<std::string> decodeTransactionListAnswer(const Bytes& data);
// v3: "answer" / "transaction_data", read by transactionFromServerRecord.
SVTransaction decodeTransactionDataAnswer(const Bytes& data, const std::string& transactionID,
                                          const std::string& userID, const std::string& systemID);
// The login service's "transactionId".
std::string decodeLoginTransactionAnswer(const Bytes& data);
// v3: the first provider of "answer" / "scoring_settings" with its settings
// object; SVError::scoringUnavailable when there is none or they are no object.
JSONScoringSettings decodeScoringSettingsAnswer(const Bytes& data);
// v3 renewal: "answer" / "renew_key_challenge" / "challenge".
std::string decodeRenewChallengeAnswer(const Bytes& data);
// v3 renewal: "answer" / "key_updated" / "key_json", the renewed user's JSON
// text (its keys encrypted). The parsed copy is wiped.
std::string decodeRenewedKeyAnswer(const Bytes& data);

namespace detail {
// Whether a transaction was fetched from its user's server (set by
// transactionFromServerRecord), not imported from a QR text or link.
// Decoding leaves it false; copies keep it.
struct TransactionOrigin {
    static bool isFromUserServer(const SVTransaction& transaction) { return transaction.isFromUserServer_; }
    static void setFromUserServer(SVTransaction& transaction, bool value) { transaction.isFromUserServer_ = value; }
};
}  // namespace detail

// A transaction record from a server's "get transaction data" answer, with
// the requested identifier and the user's own identifiers in place of any the
// record holds, decoded and marked as coming from the user's server. Throws
// SVDecodingError when the record is no transaction, and
// SVError::missingRequestedData when it is no object.
SVTransaction transactionFromServerRecord(nlohmann::json record, const std::string& transactionID,
                                          const std::string& userID, const std::string& systemID);

class APIInteractor {
public:
    virtual ~APIInteractor() = default;

    // The user's server base URL.
    const URL& interactionURL() const noexcept { return interactionURL_; }
    // The API version the object speaks.
    std::int64_t version() const noexcept { return version_; }
    // The interaction URL with the path component "jsonrequest_v" followed
    // by the version in decimal.
    URL endpointURL() const {
        return interactionURL_.appendingPathComponent("jsonrequest_v" + std::to_string(version_));
    }

    // Registers the user's device data: its public key and push token when
    // given (each optional).
    virtual Future<void> registerUser(const SVUser& user, const std::optional<SecKey>& publicKey,
                                      const std::optional<std::string>& deviceToken) const = 0;
    virtual Future<void> registerExtAuthTemplate(const SVUser& user, const SVExtendedAuth& extAuth) const = 0;
    // Renews the user's keys; the renewed user replaces the stored one.
    virtual Future<void> renew(const SVUser& user) const = 0;

    // Identifiers of the user's pending transactions.
    virtual Future<std::vector<std::string>> getTransactionList(const SVUser& user) const = 0;
    virtual Future<SVTransaction> getTransaction(const std::string& id, const SVUser& user) const = 0;
    // The transaction with its binary document downloaded.
    virtual Future<SVTransaction> getTransactionBinaryData(const SVTransaction& transaction,
                                                           const SVUser& user) const = 0;
    virtual Future<void> confirm(const SVTransaction& transaction, const SVUser& user,
                                 const std::optional<JSONScoringParameters>& scoringParameters) const = 0;
    // The same with the host's parameters type; throws when they cannot be
    // converted to JSON.
    template <class T>
    Future<void> confirm(const SVTransaction& transaction, const SVUser& user,
                         const std::optional<SVScoringParameters<T>>& scoringParameters) const {
        return confirm(transaction, user,
                       scoringParameters ? std::optional(toJSON(*scoringParameters)) : std::nullopt);
    }
    virtual Future<void> decline(const SVTransaction& transaction, const SVUser& user) const = 0;

    // Fire and forget: the request is started and its outcome dropped.
    virtual void sendPasswordIncorrectEvent(const SVUser& user) const = 0;
    virtual void sendKeyDeletedEvent(const SVUser& user) const = 0;

    // The transaction of a QR-login session, from the user's own server.
    virtual Future<SVTransaction> requestLoginTransaction(const SVUser& user, const SVLogin& login) const = 0;

    // Makes the user's autosign key pair and registers its public key.
    virtual Future<void> registerToAutosign(const SVUser& user) const = 0;
    // The server's scoring settings, undecoded.
    virtual Future<JSONScoringSettings> getScoringSettings(const SVUser& user) const = 0;
    // The same decoded as T (through `from_json`); a settings object that T
    // cannot decode fails with SVError::scoringUnavailable.
    template <class T>
    Future<SVScoringSettings<T>> getScoringSettings(const SVUser& user) const {
        return getScoringSettings(user).transformed([](const JSONScoringSettings& raw) {
            try {
                return detail::ScoringSettingsAccess::make(raw.provider(), raw.settings().template get<T>());
            } catch (...) {
                throw SVError::scoringUnavailable();
            }
        });
    }
    virtual Future<std::vector<std::string>> getAutosignTransactionList(const SVUser& user) const = 0;
    virtual Future<void> autosign(const SVTransaction& transaction, const SVUser& user,
                                  const JSONScoringParameters& scoringParameters) const = 0;
    template <class T>
    Future<void> autosign(const SVTransaction& transaction, const SVUser& user,
                          const SVScoringParameters<T>& scoringParameters) const {
        return autosign(transaction, user, toJSON(scoringParameters));
    }

protected:
    APIInteractor(URL interactionURL, std::int64_t version)
        : interactionURL_(std::move(interactionURL)), version_(version) {}
    APIInteractor(const APIInteractor&) = default;
    APIInteractor& operator=(const APIInteractor&) = default;

private:
    template <class T>
    static JSONScoringParameters toJSON(const SVScoringParameters<T>& parameters) {
        nlohmann::ordered_json json = parameters.parameters;
        return JSONScoringParameters(parameters.provider, std::move(json));
    }

    URL interactionURL_;
    std::int64_t version_;
};

// Version 3: resource paths below the endpoint URL, signed with the
// "SV-Authorization" header.
class APIInteractorV3 final : public APIInteractor {
public:
    explicit APIInteractorV3(URL interactionURL) : APIInteractor(std::move(interactionURL), 3) {}

    using APIInteractor::autosign;
    using APIInteractor::confirm;
    using APIInteractor::getScoringSettings;

    Future<void> registerUser(const SVUser& user, const std::optional<SecKey>& publicKey,
                              const std::optional<std::string>& deviceToken) const override;
    Future<void> registerExtAuthTemplate(const SVUser& user, const SVExtendedAuth& extAuth) const override;
    Future<void> renew(const SVUser& user) const override;
    Future<std::vector<std::string>> getTransactionList(const SVUser& user) const override;
    Future<SVTransaction> getTransaction(const std::string& id, const SVUser& user) const override;
    Future<SVTransaction> getTransactionBinaryData(const SVTransaction& transaction,
                                                   const SVUser& user) const override;
    Future<void> confirm(const SVTransaction& transaction, const SVUser& user,
                         const std::optional<JSONScoringParameters>& scoringParameters) const override;
    Future<void> decline(const SVTransaction& transaction, const SVUser& user) const override;
    void sendPasswordIncorrectEvent(const SVUser& user) const override;
    void sendKeyDeletedEvent(const SVUser& user) const override;
    Future<SVTransaction> requestLoginTransaction(const SVUser& user, const SVLogin& login) const override;
    Future<void> registerToAutosign(const SVUser& user) const override;
    Future<JSONScoringSettings> getScoringSettings(const SVUser& user) const override;
    Future<std::vector<std::string>> getAutosignTransactionList(const SVUser& user) const override;
    Future<void> autosign(const SVTransaction& transaction, const SVUser& user,
                          const JSONScoringParameters& scoringParameters) const override;

    // The renewal's second step: answers the server's challenge with the
    // keys cached for the user.
    Future<void> renewKeyResponse(const SVUser& user, const std::string& challenge) const;
    // The renewal's third step: activates and stores the renewed user, then
    // registers it.
    Future<void> completeRenewal(const SVUser& user, const std::string& keyJSON, const std::string& password,
                                 const Bytes& kAuth, const Bytes& kHMAC) const;
    // The login service's identifier of the session's transaction.
    Future<std::string> loginRequest(const SVLogin& login, const SVUser& user) const;
};

// Versions 1 and 2: a JSON envelope posted to the endpoint URL, signed with
// the "Authorization" header. Operations the legacy protocol lacks fail with
// SVError::endpointUnavailable and send nothing.
class APIInteractorLegacy final : public APIInteractor {
public:
    APIInteractorLegacy(URL interactionURL, std::int64_t version)
        : APIInteractor(std::move(interactionURL), version) {}

    using APIInteractor::autosign;
    using APIInteractor::confirm;
    using APIInteractor::getScoringSettings;

    // The envelope's schema name: "sigvane-request-schema-v", the version
    // in decimal, ".json".
    std::string requestSchemaName() const;

    Future<void> registerUser(const SVUser& user, const std::optional<SecKey>& publicKey,
                              const std::optional<std::string>& deviceToken) const override;
    Future<void> registerExtAuthTemplate(const SVUser& user, const SVExtendedAuth& extAuth) const override;
    Future<void> renew(const SVUser& user) const override;
    Future<std::vector<std::string>> getTransactionList(const SVUser& user) const override;
    Future<SVTransaction> getTransaction(const std::string& id, const SVUser& user) const override;
    Future<SVTransaction> getTransactionBinaryData(const SVTransaction& transaction,
                                                   const SVUser& user) const override;
    Future<void> confirm(const SVTransaction& transaction, const SVUser& user,
                         const std::optional<JSONScoringParameters>& scoringParameters) const override;
    Future<void> decline(const SVTransaction& transaction, const SVUser& user) const override;
    void sendPasswordIncorrectEvent(const SVUser& user) const override;
    void sendKeyDeletedEvent(const SVUser& user) const override;
    Future<SVTransaction> requestLoginTransaction(const SVUser& user, const SVLogin& login) const override;
    Future<void> registerToAutosign(const SVUser& user) const override;
    Future<JSONScoringSettings> getScoringSettings(const SVUser& user) const override;
    Future<std::vector<std::string>> getAutosignTransactionList(const SVUser& user) const override;
    Future<void> autosign(const SVTransaction& transaction, const SVUser& user,
                          const JSONScoringParameters& scoringParameters) const override;
};

}  // namespace svsdk
