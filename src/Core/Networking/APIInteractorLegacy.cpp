#include "Core/Networking/APIInteractor.h"

#include <svsdk/SVError.h>

// Placeholder forms: every legacy operation is unavailable until the legacy
// protocol is built.
namespace svsdk {
namespace {

template <class T>
Future<T> unavailable() {
    return Promise<T>::rejected(SVError::endpointUnavailable());
}

}  // namespace

std::string APIInteractorLegacy::requestSchemaName() const {
    return "sigvane-request-schema-v" + std::to_string(version()) + ".json";
}

Future<void> APIInteractorLegacy::registerUser(const SVUser&, const std::optional<SecKey>&, const std::optional<std::string>&) const {
    return unavailable<void>();
}

Future<void> APIInteractorLegacy::registerExtAuthTemplate(const SVUser&, const SVExtendedAuth&) const {
    return unavailable<void>();
}

Future<void> APIInteractorLegacy::renew(const SVUser&) const {
    return unavailable<void>();
}

Future<std::vector<std::string>> APIInteractorLegacy::getTransactionList(const SVUser&) const {
    return unavailable<std::vector<std::string>>();
}

Future<SVTransaction> APIInteractorLegacy::getTransaction(const std::string&, const SVUser&) const {
    return unavailable<SVTransaction>();
}

Future<SVTransaction> APIInteractorLegacy::getTransactionBinaryData(const SVTransaction&, const SVUser&) const {
    return unavailable<SVTransaction>();
}

Future<void> APIInteractorLegacy::confirm(const SVTransaction&, const SVUser&, const std::optional<JSONScoringParameters>&) const {
    return unavailable<void>();
}

Future<void> APIInteractorLegacy::decline(const SVTransaction&, const SVUser&) const {
    return unavailable<void>();
}

void APIInteractorLegacy::sendPasswordIncorrectEvent(const SVUser&) const {
}

void APIInteractorLegacy::sendKeyDeletedEvent(const SVUser&) const {
}

Future<SVTransaction> APIInteractorLegacy::requestLoginTransaction(const SVUser&, const SVLogin&) const {
    return unavailable<SVTransaction>();
}

Future<void> APIInteractorLegacy::registerToAutosign(const SVUser&) const {
    return unavailable<void>();
}

Future<JSONScoringSettings> APIInteractorLegacy::getScoringSettings(const SVUser&) const {
    return unavailable<JSONScoringSettings>();
}

Future<std::vector<std::string>> APIInteractorLegacy::getAutosignTransactionList(const SVUser&) const {
    return unavailable<std::vector<std::string>>();
}

Future<void> APIInteractorLegacy::autosign(const SVTransaction&, const SVUser&, const JSONScoringParameters&) const {
    return unavailable<void>();
}

}  // namespace svsdk
