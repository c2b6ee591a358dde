#include "Core/Networking/APIInteractor.h"

#include <svsdk/SVError.h>

// Placeholder forms until the version-3 protocol is built.
namespace svsdk {
namespace {

template <class T>
Future<T> unavailable() {
    return Promise<T>::rejected(SVError::endpointUnavailable());
}

}  // namespace

Future<void> APIInteractorV3::registerUser(const SVUser&, const std::optional<SecKey>&, const std::optional<std::string>&) const {
    return unavailable<void>();
}

Future<void> APIInteractorV3::registerExtAuthTemplate(const SVUser&, const SVExtendedAuth&) const {
    return unavailable<void>();
}

Future<void> APIInteractorV3::renew(const SVUser&) const {
    return unavailable<void>();
}

Future<std::vector<std::string>> APIInteractorV3::getTransactionList(const SVUser&) const {
    return unavailable<std::vector<std::string>>();
}

Future<SVTransaction> APIInteractorV3::getTransaction(const std::string&, const SVUser&) const {
    return unavailable<SVTransaction>();
}

Future<SVTransaction> APIInteractorV3::getTransactionBinaryData(const SVTransaction&, const SVUser&) const {
    return unavailable<SVTransaction>();
}

Future<void> APIInteractorV3::confirm(const SVTransaction&, const SVUser&, const std::optional<JSONScoringParameters>&) const {
    return unavailable<void>();
}

Future<void> APIInteractorV3::decline(const SVTransaction&, const SVUser&) const {
    return unavailable<void>();
}

void APIInteractorV3::sendPasswordIncorrectEvent(const SVUser&) const {
}

void APIInteractorV3::sendKeyDeletedEvent(const SVUser&) const {
}

Future<SVTransaction> APIInteractorV3::requestLoginTransaction(const SVUser&, const SVLogin&) const {
    return unavailable<SVTransaction>();
}

Future<void> APIInteractorV3::registerToAutosign(const SVUser&) const {
    return unavailable<void>();
}

Future<JSONScoringSettings> APIInteractorV3::getScoringSettings(const SVUser&) const {
    return unavailable<JSONScoringSettings>();
}

Future<std::vector<std::string>> APIInteractorV3::getAutosignTransactionList(const SVUser&) const {
    return unavailable<std::vector<std::string>>();
}

Future<void> APIInteractorV3::autosign(const SVTransaction&, const SVUser&, const JSONScoringParameters&) const {
    return unavailable<void>();
}

Future<void> APIInteractorV3::renewKeyResponse(const SVUser&, const std::string&) const {
    return unavailable<void>();
}

Future<void> APIInteractorV3::completeRenewal(const SVUser&, const std::string&, const std::string&, const Bytes&,
                                              const Bytes&) const {
    return unavailable<void>();
}

Future<std::string> APIInteractorV3::loginRequest(const SVLogin&, const SVUser&) const {
    return unavailable<std::string>();
}

}  // namespace svsdk
