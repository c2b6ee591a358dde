// The legacy protocol (API versions 1 and 2): every operation is one
// envelope posted through the pipeline of LegacyRequest.h; what the protocol
// lacks logs a fixed line and fails with SVError::endpointUnavailable
// without sending anything.
#include <memory>

#include <svsdk/SVConfirmation.h>
#include <svsdk/SVDeclination.h>
#include <svsdk/SVError.h>

#include "Core/Diagnostics/Logger.h"
#include "Core/Networking/APIInteractor.h"
#include "Core/Networking/LegacyRequest.h"
#include "Core/Security/Cryptor.h"
#include "Core/Security/TLV.h"
#include "Core/Time/TimeManager.h"
#include "Core/Utilities/Encoding.h"
#include "Core/Utilities/JSON.h"

namespace svsdk {
namespace {

// The hex authentication code of `block` followed by the time item of the
// user's authorization time step.
std::string authCode(Bytes block, const SVUser& user, const Bytes& key) {
    TLV::append(block, TLV::timeInterval(TimeManager::shared().discreteTimeInterval(user.authorizationCodeTSI())));
    return hexString(Cryptor::authenticationCode(block, key));
}

// The code of the transaction requests: the transaction's ID and the time.
std::string transactionAuthCode(const std::string& transactionID, const SVUser& user, const Bytes& key) {
    return authCode(TLV::transactionID(transactionID), user, key);
}

Future<void> toVoid(const Future<Bytes>& future) {
    return future.transformed([](const Bytes&) {});
}

constexpr const char* kAutosignUnavailable = "Autosign is not available for this API version";

}  // namespace

std::string APIInteractorLegacy::requestSchemaName() const {
    return "sigvane-request-schema-v" + std::to_string(version()) + ".json";
}

Future<void> APIInteractorLegacy::registerUser(const SVUser& user, const std::optional<SecKey>& publicKey,
                                               const std::optional<std::string>& deviceToken) const {
    auto key = std::make_shared<const Bytes>(user.authorizationKey());
    auto self = *this;
    return legacy::registerFingerprint(*this, user, *key)
        .chained([self, user, publicKey, key] { return legacy::registerPublicKey(self, user, publicKey, *key); })
        .chained([self, user, deviceToken, key] {
            return legacy::registerDeviceToken(self, user, deviceToken, *key);
        });
}

Future<void> APIInteractorLegacy::registerExtAuthTemplate(const SVUser&, const SVExtendedAuth&) const {
    Logger::log(SVLogCategory::common, "Registering extended authentication's template is not available for this server ");
    return Promise<void>::rejected(SVError::endpointUnavailable());
}

Future<void> APIInteractorLegacy::renew(const SVUser&) const {
    legacy::unavailable("A renewing user is not available for this API version");
}

Future<std::vector<std::string>> APIInteractorLegacy::getTransactionList(const SVUser& user) const {
    Bytes key = user.authorizationKey();
    std::vector<std::string> status{"initialized", "pushSent", "dataSent"};
    double time = TimeManager::shared().discreteTimeInterval(user.authorizationCodeTSI());
    LegacyRequestParameters parameters;
    parameters.userID = user.userID();
    parameters.authCode = hexString(Cryptor::authenticationCode(TLV::transactionStatus(user, status, time), key));
    parameters.transactionStatus = std::move(status);
    return legacy::send(*this, user, LegacyRequestType::getTransactions, std::move(parameters), std::move(key))
        .transformed(decodeTransactionListAnswer);
}

Future<SVTransaction> APIInteractorLegacy::getTransaction(const std::string& id, const SVUser& user) const {
    Bytes key = user.authorizationKey();
    LegacyRequestParameters parameters;
    parameters.userID = user.userID();
    parameters.transactionID = id;
    parameters.authCode = transactionAuthCode(id, user, key);
    return legacy::send(*this, user, LegacyRequestType::getTransactionData, std::move(parameters), std::move(key))
        .transformed([id, userID = user.userID(), systemID = user.systemID()](const Bytes& data) {
            return legacy::decodeTransactionDataAnswer(data, id, userID, systemID);
        });
}

Future<SVTransaction> APIInteractorLegacy::getTransactionBinaryData(const SVTransaction& transaction,
                                                                    const SVUser&) const {
    // The legacy server sends the document inside the transaction's data.
    if (!transaction.downloadedBinaryData()) throw SVError::binaryDataIsUnavaiable();
    return Promise<SVTransaction>::resolved(transaction);
}

Future<void> APIInteractorLegacy::confirm(const SVTransaction& transaction, const SVUser& user,
                                          const std::optional<JSONScoringParameters>&) const {
    Bytes key = user.authorizationKey();
    std::string code = transactionAuthCode(transaction.transactionID(), user, key);
    SVConfirmation confirmation(transaction, user, false);
    LegacyRequestParameters parameters;
    parameters.transactionID = transaction.transactionID();
    parameters.confirmationCode = confirmation.confirmationCode();
    parameters.signature = confirmation.signature();
    parameters.authCode = std::move(code);
    return toVoid(
        legacy::send(*this, user, LegacyRequestType::confirmTransaction, std::move(parameters), std::move(key)));
}

Future<void> APIInteractorLegacy::decline(const SVTransaction& transaction, const SVUser& user) const {
    Bytes key = user.authorizationKey();
    std::string code = transactionAuthCode(transaction.transactionID(), user, key);
    SVDeclination declination(transaction, user, false);
    LegacyRequestParameters parameters;
    parameters.transactionID = transaction.transactionID();
    parameters.declineCode = declination.declineCode();
    parameters.declineReason = declination.declineReason();
    parameters.authCode = std::move(code);
    return toVoid(
        legacy::send(*this, user, LegacyRequestType::declineTransaction, std::move(parameters), std::move(key)));
}

void APIInteractorLegacy::sendPasswordIncorrectEvent(const SVUser& user) const {
    Bytes key = user.authorizationKey();
    LegacyRequestParameters parameters;
    parameters.systemID = user.systemID();
    parameters.userID = user.userID();
    // Nobody waits for the answer: the chain holds itself until the network
    // thread has settled it, then lets go.
    legacy::send(*this, user, LegacyRequestType::eventPasswordInvalid, std::move(parameters), std::move(key));
}

void APIInteractorLegacy::sendKeyDeletedEvent(const SVUser&) const {
    Logger::log(SVLogCategory::users, "A deleting user event is not available for this API version");
}

Future<SVTransaction> APIInteractorLegacy::requestLoginTransaction(const SVUser&, const SVLogin&) const {
    Logger::log(SVLogCategory::users, "QR login is not available for this API version");
    throw SVError::endpointUnavailable();
}

Future<void> APIInteractorLegacy::registerToAutosign(const SVUser&) const { legacy::unavailable(kAutosignUnavailable); }

Future<JSONScoringSettings> APIInteractorLegacy::getScoringSettings(const SVUser&) const {
    Logger::log(SVLogCategory::users, "Scoring is not available for this API version");
    throw SVError::endpointUnavailable();
}

Future<std::vector<std::string>> APIInteractorLegacy::getAutosignTransactionList(const SVUser&) const {
    legacy::unavailable(kAutosignUnavailable);
}

Future<void> APIInteractorLegacy::autosign(const SVTransaction&, const SVUser&, const JSONScoringParameters&) const {
    Logger::log(SVLogCategory::users, kAutosignUnavailable);
    throw SVError::endpointUnavailable();
}

}  // namespace svsdk
