#include <svsdk/SVLogin.h>

#include <nlohmann/json.hpp>

#include <svsdk/SVError.h>

#include "Core/Networking/APIInteractionManager.h"
#include "Core/Networking/Dispatch.h"
#include "Core/Operations/Operations.h"
#include "Core/Time/TimeManager.h"
#include "Core/Utilities/Encoding.h"
#include "Core/Utilities/JSONDecoding.h"
#include "Core/Utilities/URL.h"

namespace svsdk {

SVLogin::SVLogin(std::string systemID, double expirationTime, std::string sessionID, SVQRType type, Bytes pulp,
                 std::string loqURL)
    : systemID_(std::move(systemID)),
      expirationTime_(expirationTime),
      sessionID_(std::move(sessionID)),
      type_(type),
      pulp_(std::move(pulp)),
      loqURL_(std::move(loqURL)) {}

SVLogin SVLogin::decode(const nlohmann::json& json) {
    KeyedDecoder decoder(json);
    auto sessionID = decoder.required<std::string>("sid");
    auto systemID = decoder.required<std::string>("sysId");
    auto type = decoder.required<SVQRType>("type");
    auto expirationTime = decoder.required<double>("expires");
    auto pulpText = decoder.required<std::string>("pulp");
    auto pulp = base64Decode(pulpText);
    if (!pulp) throw SVDecodingError(SVDecodingError::Kind::dataCorrupted, decoder.pathOf("pulp"), "not valid Base64");
    auto loqURL = decoder.required<std::string>("loqUrl");
    auto url = URL::parse(loqURL);
    if (!url || !url->isAbsolute())
        throw SVDecodingError(SVDecodingError::Kind::dataCorrupted, decoder.pathOf("loqUrl"), "not a valid URL");
    return SVLogin(std::move(systemID), expirationTime, std::move(sessionID), type, std::move(*pulp),
                   std::move(loqURL));
}

SVLogin SVLogin::decode(std::string_view jsonText) { return decode(parseJSONDocument(jsonText)); }

namespace {

// The session lasts while the device clock (not the corrected one) reads
// less than its end.
bool isExpired(const SVLogin& login) { return !(TimeManager::deviceClock() < login.expirationTime()); }

// The shared body of confirm and decline.
template <class Body>
void answerLogin(const SVLogin& login, const SVTransaction& transaction, const SVUser& user, SVCompletion completion,
                 Body body) {
    operations::run(std::move(completion), [&](const operations::OnceCompletion<void>& once) {
        if (isExpired(login)) {
            Logger::log(SVLogCategory::debug, "QR code is expired");
            return once(SVError::loginSessionIsExpired());
        }
        // Checked on the transaction as received: with the pulp appended a
        // missing document would pass unnoticed.
        if (operations::isBinaryDataPending(transaction)) return once(SVError::binaryDataIsRequired());
        SVTransaction signed_ = transaction;
        Bytes data = transaction.downloadedBinaryData().value_or(Bytes{});
        data.insert(data.end(), login.pulp().begin(), login.pulp().end());
        signed_.setDownloadedBinaryData(std::move(data));
        body(signed_, user, once);
    });
}

}  // namespace

SVLogin SVLogin::importFromJSON(const std::string& text) {
    operations::logSecretLine(SVLogCategory::debug, "Importing QR code from source: ", text);
    std::optional<SVLogin> login;
    try {
        login.emplace(decode(std::string_view(text)));
    } catch (...) {
        login.reset();
    }
    if (!login || login->type() != SVQRType::login) {
        Logger::log(SVLogCategory::debug, "QR code is invalid");
        throw SVError::invalidQR();
    }
    if (isExpired(*login)) {
        Logger::log(SVLogCategory::debug, "QR code is expired");
        throw SVError::loginSessionIsExpired();
    }
    return std::move(*login);
}

void SVLogin::requestLoginTransaction(const SVUser& user, SVResultCompletion<SVTransaction> completion) const {
    operations::run(std::move(completion), [&](const operations::OnceCompletion<SVTransaction>& once) {
        Logger::log(SVLogCategory::debug, "Requesting login credentials for " + user.userID());
        operations::deliver(chainedStep(APIInteractionManager::shared().makeInteractor(user),
                                        [login = *this, user](const APIInteractor& interactor) {
                                            return interactor.requestLoginTransaction(user, login);
                                        }),
                            once);
    });
}

void SVLogin::confirm(const SVTransaction& loginTransaction, const SVUser& user, SVCompletion completion) const {
    answerLogin(*this, loginTransaction, user, std::move(completion),
                [](const SVTransaction& transaction, const SVUser& u, const operations::OnceCompletion<void>& once) {
                    operations::sign(transaction, u,
                                     JSONScoringParameters("", nlohmann::ordered_json::object()), once);
                });
}

void SVLogin::decline(const SVTransaction& loginTransaction, const SVUser& user, SVCompletion completion) const {
    answerLogin(*this, loginTransaction, user, std::move(completion),
                [](const SVTransaction& transaction, const SVUser& u, const operations::OnceCompletion<void>& once) {
                    operations::decline(transaction, u, once);
                });
}

}  // namespace svsdk
