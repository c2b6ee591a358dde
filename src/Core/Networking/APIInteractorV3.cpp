#include <algorithm>
#include <cctype>
#include <memory>

#include <openssl/rand.h>

#include <svsdk/SVConfirmation.h>
#include <svsdk/SVDeclination.h>
#include <svsdk/SVError.h>

#include "Core/DeviceData/Analytics.h"
#include "Platform/HostState.h"
#include "Core/Diagnostics/Logger.h"
#include "Core/Networking/APIInteractor.h"
#include "Core/Networking/EventsHolder.h"
#include "Core/Networking/Request.h"
#include "Core/Networking/RequestBodies.h"
#include "Core/Networking/RequestSettings.h"
#include "Core/Networking/RegistrationResultHandler.h"
#include "Core/Security/Cryptor.h"
#include "Core/Security/HandlesManager.h"
#include "Core/Security/Keychain.h"
#include "Core/Security/SecureEnclave.h"
#include "Core/Security/TLV.h"
#include "Core/Storing/StorageManager.h"
#include "Core/Time/TimeManager.h"
#include "Core/Utilities/Encoding.h"
#include "Core/Utilities/JSON.h"

namespace svsdk {
namespace {

// The user's own path below the endpoint, then the operation's components.
Endpoint userEndpoint(const APIInteractor& interactor, const SVUser& user, std::vector<std::string> components) {
    std::vector<std::string> path{user.systemID(), "users", user.userID()};
    path.insert(path.end(), components.begin(), components.end());
    return Endpoint(interactor.endpointURL(), path);
}

// The v3 exchange after the authorization key: the request, the collected
// device data attached to it, signed with "SV-Authorization", sent. Settles
// with the answer's body on status 200.
template <class Body>
Future<Bytes> exchange(const SVUser& user, Endpoint endpoint, HTTPMethod method, Body body, Bytes key,
                       std::size_t maximumBodySize = 0, AnswerBody answer = AnswerBody::plain) {
    Request<Body> request{std::move(endpoint), method, std::move(body)};
    auto attached = attachingCollectedInfo(request, Analytics::collect(user.options().flags));
    return urlRequestFuture(attached, std::move(key), false)
        .chained([maximumBodySize, answer](URLRequest urlRequest) {
            urlRequest.maximumBodySize = maximumBodySize;
            return sendRequest(std::move(urlRequest), HTTPSession::shared(), answer);
        });
}

Future<void> toVoid(const Future<Bytes>& future) {
    return future.transformed([](const Bytes&) {});
}

std::string lowercased(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

// Scheme, host and port, with the scheme's default port filled in.
struct Origin {
    std::string scheme;
    std::string host;
    int port;
    friend bool operator==(const Origin&, const Origin&) = default;
};

std::optional<Origin> httpOrigin(const URL& url) {
    std::string scheme = lowercased(url.scheme());
    if (scheme != "http" && scheme != "https") return std::nullopt;
    if (url.host().empty()) return std::nullopt;
    return Origin{scheme, lowercased(url.host()), url.port().value_or(scheme == "https" ? 443 : 80)};
}

// The renewed user as the server sent it, under the old user's storageID.
SVUser withStorageID(const SVUser& user, const std::string& storageID) {
    return SVUser(user.userID(), user.systemID(), user.options(), user.interactionURL(), user.name(),
                  user.registeredDeviceToken(), user.apiVersion(), user.systemName(), user.extAuthMethods(),
                  user.confirmationCodeTSI(), user.authorizationCodeTSI(), storageID, user.userVersion(),
                  user.keysContent(), user.expirationTimestamp());
}

// A text holding a secret, wiped when dropped, also when a step throws.
struct WipedText {
    std::string text;
    ~WipedText() { secureWipe(text); }
};

Future<void> sendEvent(const APIInteractor& interactor, const SVUser& user, const char* type) {
    Bytes key = user.authorizationKey();
    EventBody body{type, std::nullopt};
    return toVoid(exchange(user, userEndpoint(interactor, user, {"events"}), HTTPMethod::post, std::move(body),
                           std::move(key)));
}

// The registration of the user's device data.
Future<void> sendRegistration(const APIInteractor& interactor, const SVUser& user,
                              const std::optional<SecKey>& publicKey, const std::optional<std::string>& deviceToken) {
    Bytes key = user.authorizationKey();
    UserRegistrationBody body;
    if (deviceToken) body.pushAddress = PushAddress{"iOS", *deviceToken, HostState::hostBundleIdentifier()};
    if (user.options().isWithFingerprint()) body.fingerprint = Keychain::deviceFingerprint();
    if (publicKey) body.publicKey = publicKey->spkiHexString();
    return toVoid(exchange(user, userEndpoint(interactor, user, {}), HTTPMethod::patch, std::move(body),
                           std::move(key)));
}

}  // namespace

SVTransaction decodeTransactionDataAnswer(const Bytes& data, const std::string& transactionID,
                                          const std::string& userID, const std::string& systemID) {
    return transactionFromServerRecord(valueForKey<nlohmann::json>(answerObject(data), "transaction_data"),
                                       transactionID, userID, systemID);
}

std::string decodeLoginTransactionAnswer(const Bytes& data) {
    return valueForKey<std::string>(jsonDictionary(data), "transactionId");
}

JSONScoringSettings decodeScoringSettingsAnswer(const Bytes& data) {
    auto settings = valueForKey<nlohmann::json>(answerObject(data), "scoring_settings");
    if (settings.empty()) throw SVError::scoringUnavailable();
    auto first = settings.begin();
    if (!first.value().is_object()) throw SVError::scoringUnavailable();
    return detail::ScoringSettingsAccess::make(first.key(), first.value());
}

std::string decodeRenewChallengeAnswer(const Bytes& data) {
    return valueForKey<std::string>(valueForKey<nlohmann::json>(answerObject(data), "renew_key_challenge"),
                                    "challenge");
}

std::string decodeRenewedKeyAnswer(const Bytes& data) {
    auto answer = answerObject(data);
    // The member is wiped in place before the parsed answer is dropped.
    struct Wipe {
        nlohmann::json& answer;
        ~Wipe() {
            auto updated = answer.find("key_updated");
            if (updated == answer.end() || !updated->is_object()) return;
            auto member = updated->find("key_json");
            if (member != updated->end() && member->is_string()) secureWipe(member->get_ref<std::string&>());
        }
    } wipe{answer};
    return valueForKey<std::string>(valueForKey<nlohmann::json>(answer, "key_updated"), "key_json");
}

Future<void> APIInteractorV3::registerUser(const SVUser& user, const std::optional<SecKey>& publicKey,
                                           const std::optional<std::string>& deviceToken) const {
    return sendRegistration(*this, user, publicKey, deviceToken);
}

Future<void> APIInteractorV3::registerExtAuthTemplate(const SVUser& user, const SVExtendedAuth& extAuth) const {
    Bytes key = user.authorizationKey();
    RegisterExtAuthTemplateBody body;
    body.templateType = extAuth.type();
    body.templateValue = extAuth.value();
    return toVoid(exchange(user, userEndpoint(*this, user, {"remote", "templates"}), HTTPMethod::post,
                           std::move(body), std::move(key)));
}

// The steps of the renewal withhold the keys they handle (the password and
// kHMAC, old and new, and the activation code made of them) from the log,
// whatever the options. kAuth shows only as every request's does: in its
// signing step's "Kauth: " line, with `debug` and `keys`.
Future<void> APIInteractorV3::renew(const SVUser& user) const {
    Bytes key = user.authorizationKey();
    auto self = *this;
    return exchange(user, userEndpoint(*this, user, {"key", "renew", "challenge"}), HTTPMethod::post, EmptyBody{},
                    std::move(key))
        .chained([self, user](const Bytes& data) {
            return self.renewKeyResponse(user, decodeRenewChallengeAnswer(data));
        });
}

Future<void> APIInteractorV3::renewKeyResponse(const SVUser& user, const std::string& challenge) const {
    std::optional<Logger::WithholdSecrets> quiet;
    quiet.emplace();
    auto& handles = HandlesManager::shared();
    auto kAuth = handles.handle(HandleType::auth, user);
    auto kHMAC = handles.handle(HandleType::hmac, user);
    auto password = handles.handle(HandleType::password, user);
    if (!kAuth || !kHMAC || !password) throw SVError::handleInvalid();

    Bytes salt(32);
    if (RAND_bytes(salt.data(), static_cast<int>(salt.size())) != 1) throw SVError::internalError();
    // A challenge that is not hex text is signed as no bytes: the salt alone.
    Bytes signedData = bytesFromHex(challenge).value_or(Bytes{});
    signedData.insert(signedData.end(), salt.begin(), salt.end());
    SVConfirmation confirmation(signedData, user, *kHMAC);

    RenewResponseBody body;
    body.signature = confirmation.signature();
    body.salt = hexString(salt);
    body.hmac = confirmation.confirmationCode();
    Logger::log(SVLogCategory::network, [&] {
        return "Salt: " + body.salt + "\nSignature: " + body.signature + "\nHMAC: " + body.hmac;
    });

    auto self = *this;
    auto secrets = std::make_shared<const std::tuple<Bytes, Bytes, Bytes>>(*kAuth, *kHMAC, *password);
    quiet.reset();  // the request is signed and logged as every request is
    // The answer holds the renewed user's key content.
    return exchange(user, userEndpoint(*this, user, {"key", "renew", "response"}), HTTPMethod::post, std::move(body),
                    *kAuth, 0, AnswerBody::secret)
        .chained([self, user, secrets](const Bytes& data) {
            auto keyJSON = decodeRenewedKeyAnswer(data);
            const auto& [auth, hmac, passwordBytes] = *secrets;
            WipedText passwordText{std::string(passwordBytes.begin(), passwordBytes.end())};
            WipedText keyText{std::move(keyJSON)};
            return self.completeRenewal(user, keyText.text, passwordText.text, auth, hmac);
        });
}

Future<void> APIInteractorV3::completeRenewal(const SVUser& user, const std::string& keyJSON,
                                              const std::string& password, const Bytes& kAuth,
                                              const Bytes& kHMAC) const {
    std::optional<Logger::WithholdSecrets> quiet;
    quiet.emplace();
    Logger::log(SVLogCategory::users, "Extracting the renewed user's data");
    SVUser renewed = withStorageID(SVUser::decode(keyJSON), user.storageID());
    Logger::log(SVLogCategory::debug, [&] { return "Renewing " + user.userID() + " -> " + renewed.userID(); });

    Bytes activationInput = kHMAC;
    activationInput.insert(activationInput.end(), kAuth.begin(), kAuth.end());
    WipedText activationCode{hexString(Cryptor::sha256(activationInput))};
    UserKeys keys = Cryptor::activateRenewed(renewed, activationCode.text);

    // The new pair is made aside and swapped in inside the store's
    // transaction, so a failure before the commit leaves the old record and
    // the old pair whole.
    Logger::log(SVLogCategory::users, "Preparing the new keypair");
    auto newKey = SecKey::generateP256();
    auto newPublicKey = newKey ? newKey->copyPublicKey() : std::nullopt;
    if (!newKey || !newPublicKey) throw SVError::secureEnclaveError("Could not generate the keypair");
    const std::string label = renewed.uniqueID();
    auto& keyStore = SecureEnclave::users();
    std::optional<SecKey> previousKey;
    bool swapped = false;
    try {
        StorageManager::shared().storeRenewed(user, keys, password, renewed, [&] {
            try {
                previousKey = keyStore.retrieveKeyPair(label).privateKey;
            } catch (const SVError&) {
                previousKey.reset();  // no pair of that label yet
            }
            keyStore.storeKeyPair(label, *newKey);
            swapped = true;
        });
    } catch (...) {
        if (swapped) {
            if (previousKey)
                keyStore.storeKeyPair(label, *previousKey);
            else
                keyStore.removeKeyPair(label);
        }
        throw;
    }

    const auto& deviceToken = user.registeredDeviceToken();
    Logger::log(SVLogCategory::users, "Registering the renewed user with id: " + renewed.userID());
    Logger::log(SVLogCategory::users, "- Device Token: " + deviceToken.value_or("-"));
    quiet.reset();  // the public key is no secret, and the registration is a request like any other
    Logger::secret([&] { return "- Public Key: " + newPublicKey->spkiHexString(); });
    // A registration that cannot even start (the user removed meanwhile, so
    // no kAuth) fails like one the server refused: the new pair goes too.
    Future<void> registration;
    try {
        registration = sendRegistration(*this, renewed, newPublicKey, deviceToken);
    } catch (...) {
        registration = Promise<void>::rejected(SVFailure::fromCurrentException());
    }
    return registration.failureHandled(registrationResultHandler(true, renewed, deviceToken.has_value()));
}

Future<std::vector<std::string>> APIInteractorV3::getTransactionList(const SVUser& user) const {
    Bytes key = user.authorizationKey();
    return exchange(user, userEndpoint(*this, user, {"transactions", "get_list"}), HTTPMethod::post, EmptyBody{},
                    std::move(key))
        .transformed(decodeTransactionListAnswer);
}

Future<SVTransaction> APIInteractorV3::getTransaction(const std::string& id, const SVUser& user) const {
    Bytes key = user.authorizationKey();
    return exchange(user, userEndpoint(*this, user, {"transactions", id, "get_data"}), HTTPMethod::post,
                    EmptyBody{}, std::move(key))
        .transformed([id, userID = user.userID(), systemID = user.systemID()](const Bytes& data) {
            return decodeTransactionDataAnswer(data, id, userID, systemID);
        });
}

Future<SVTransaction> APIInteractorV3::getTransactionBinaryData(const SVTransaction& transaction,
                                                                const SVUser& user) const {
    if (transaction.downloadedBinaryData()) return Promise<SVTransaction>::resolved(transaction);
    const auto& text = transaction.binaryDataURLString();
    auto url = text ? URL::parse(*text) : std::nullopt;
    auto origin = url ? httpOrigin(*url) : std::nullopt;
    // The request carries the user's signature and device data: a document
    // named by an imported transaction is fetched only from the user's own
    // server.
    const bool fetched = detail::TransactionOrigin::isFromUserServer(transaction);
    if (origin && !fetched && origin != httpOrigin(interactionURL())) origin.reset();
    if (!origin) return Promise<SVTransaction>::rejected(SVError::binaryDataIsUnavaiable());

    Bytes key = user.authorizationKey();
    return exchange(user, Endpoint(*url), HTTPMethod::post, EmptyBody{}, std::move(key), binaryDataSizeLimit())
        .transformed([transaction](const Bytes& data) {
            SVTransaction copy = transaction;
            copy.setDownloadedBinaryData(data);
            return copy;
        });
}

Future<void> APIInteractorV3::confirm(const SVTransaction& transaction, const SVUser& user,
                                      const std::optional<JSONScoringParameters>& scoringParameters) const {
    Bytes key = user.authorizationKey();
    SVConfirmation confirmation(transaction, user, false);
    ConfirmationBody body;
    body.confirmationCode = confirmation.confirmationCode();
    body.signature = confirmation.signature();
    if (scoringParameters) body.scoringSettings = scoringParameters->dictionary();
    return toVoid(exchange(user, userEndpoint(*this, user, {"transactions", transaction.transactionID(), "confirm"}),
                           HTTPMethod::post, std::move(body), std::move(key)));
}

Future<void> APIInteractorV3::decline(const SVTransaction& transaction, const SVUser& user) const {
    Bytes key = user.authorizationKey();
    SVDeclination declination(transaction, user, false);
    DeclineBody body{declination.declineCode(), declination.declineReason(), std::nullopt};
    return toVoid(exchange(user, userEndpoint(*this, user, {"transactions", transaction.transactionID(), "decline"}),
                           HTTPMethod::post, std::move(body), std::move(key)));
}

void APIInteractorV3::sendPasswordIncorrectEvent(const SVUser& user) const {
    sendEvent(*this, user, "password_incorrect");
}

void APIInteractorV3::sendKeyDeletedEvent(const SVUser& user) const { sendEvent(*this, user, "key_deleted"); }

Future<SVTransaction> APIInteractorV3::requestLoginTransaction(const SVUser& user, const SVLogin& login) const {
    if (!(TimeManager::deviceClock() < login.expirationTime())) throw SVError::loginSessionIsExpired();
    auto self = *this;
    return loginRequest(login, user)
        .chained([self, user](const std::string& id) { return self.getTransaction(id, user); })
        .chained([self, user](const SVTransaction& transaction) {
            if (transaction.hasBinaryData()) return self.getTransactionBinaryData(transaction, user);
            return Future<SVTransaction>(Promise<SVTransaction>::resolved(transaction));
        });
}

Future<std::string> APIInteractorV3::loginRequest(const SVLogin& login, const SVUser& user) const {
    auto base = URL::parse(login.loqURL());
    if (!base || !base->isAbsolute()) return Promise<std::string>::rejected(SVError::invalidQR());
    Request<LoginTransactionsBody> request{Endpoint(*base, {"client", "getTransactionId"}), HTTPMethod::post,
                                           LoginTransactionsBody{user.userID(), login.sessionID()}};
    return urlRequestFuture(Future<Request<LoginTransactionsBody>>(Promise<Request<LoginTransactionsBody>>::resolved(
                                std::move(request))),
                            std::nullopt, false)
        .chained([](URLRequest urlRequest) { return sendRequest(std::move(urlRequest)); })
        .transformed(decodeLoginTransactionAnswer);
}

Future<void> APIInteractorV3::registerToAutosign(const SVUser& user) const {
    auto& keyStore = SecureEnclave::autosign();
    const std::string label = user.uniqueID();
    // A pair already under the label (left by a call cut short) makes the
    // creation fail; it is removed with it, so that the next call can start
    // afresh.
    SecureEnclave::KeyPair pair;
    try {
        pair = keyStore.createKeyPair(label);
    } catch (...) {
        keyStore.removeKeyPair(label);
        throw;
    }
    Bytes key;
    try {
        key = user.authorizationKey();
    } catch (...) {
        keyStore.removeKeyPair(label);
        throw;
    }
    AutosignRegistrationBody body{pair.publicKey.spkiHexString(), std::nullopt};
    auto result = toVoid(
        exchange(user, userEndpoint(*this, user, {}), HTTPMethod::patch, std::move(body), std::move(key)));
    // The server never learnt the new key: it must not stay as if registered.
    return result.failureHandled([label](const SVFailure&) { SecureEnclave::autosign().removeKeyPair(label); });
}

Future<JSONScoringSettings> APIInteractorV3::getScoringSettings(const SVUser& user) const {
    Bytes key = user.authorizationKey();
    return exchange(user, userEndpoint(*this, user, {"scoring", "ios"}), HTTPMethod::post, EmptyBody{},
                    std::move(key))
        .transformed(decodeScoringSettingsAnswer);
}

Future<std::vector<std::string>> APIInteractorV3::getAutosignTransactionList(const SVUser& user) const {
    Bytes key = user.authorizationKey();
    return exchange(user, userEndpoint(*this, user, {"transactions", "get_autoconfirm_list"}), HTTPMethod::post,
                    EmptyBody{}, std::move(key))
        .transformed(decodeTransactionListAnswer);
}

Future<void> APIInteractorV3::autosign(const SVTransaction& transaction, const SVUser& user,
                                       const JSONScoringParameters& scoringParameters) const {
    Bytes key = user.authorizationKey();
    auto pair = SecureEnclave::autosign().retrieveKeyPair(user.uniqueID());
    double time = TimeManager::shared().discreteTimeInterval(user.confirmationCodeTSI());
    Bytes block = TLV::transactionConfirmation(transaction, user, std::nullopt, time);
    ConfirmationBody body;
    body.signature = hexString(SVConfirmation::sign(block, pair.privateKey));
    body.scoringSettings = scoringParameters.dictionary();
    return toVoid(exchange(user,
                           userEndpoint(*this, user, {"transactions", transaction.transactionID(), "autoconfirm"}),
                           HTTPMethod::post, std::move(body), std::move(key)));
}

}  // namespace svsdk
