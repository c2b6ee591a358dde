#include <svsdk/SVAutoSigner.h>

#include "Core/Networking/APIInteractionManager.h"
#include "Core/Networking/Dispatch.h"
#include "Core/Operations/Operations.h"
#include "Core/Security/SecureEnclave.h"

namespace svsdk {
namespace {

using operations::OnceCompletion;

// A user of the current storage with its autosign key pair; a failed look-up
// counts as no pair.
bool hasAutosignKeyPair(const SVUser& user) {
    if (user.userVersion() != 3) return false;
    try {
        SecureEnclave::autosign().retrieveKeyPair(user.uniqueID());
        return true;
    } catch (...) {
        return false;
    }
}

bool isAutosignReady(const SVUser& user) {
    return user.options().isAutosignEnabled() && user.userVersion() == 3 && hasAutosignKeyPair(user);
}

}  // namespace

void SVAutoSigner::registerToAutosign(const SVUser& user, SVCompletion completion) {
    operations::run(std::move(completion), [&](const OnceCompletion<void>& once) {
        if (!user.options().isAutosignEnabled()) return once(SVError::autosignUnavailable());
        if (hasAutosignKeyPair(user)) return once(SVResult<void>());
        operations::deliver(chainedStep(APIInteractionManager::shared().makeInteractor(user),
                                        [user](const APIInteractor& interactor) {
                                            return interactor.registerToAutosign(user);
                                        }),
                            once);
    });
}

void SVAutoSigner::getScoringSettingsJSON(const SVUser& user,
                                          SVResultCompletion<SVScoringSettings<nlohmann::json>> completion) {
    operations::run(std::move(completion), [&](const OnceCompletion<SVScoringSettings<nlohmann::json>>& once) {
        if (!user.options().isScoringEnabled()) return once(SVError::scoringUnavailable());
        operations::deliver(chainedStep(APIInteractionManager::shared().makeInteractor(user),
                                        [user](const APIInteractor& interactor) {
                                            return interactor.getScoringSettings(user);
                                        }),
                            once);
    });
}

void SVAutoSigner::getAutosignTransactionsList(const SVUser& user,
                                               SVResultCompletion<std::vector<std::string>> completion) {
    operations::run(std::move(completion), [&](const OnceCompletion<std::vector<std::string>>& once) {
        if (!isAutosignReady(user)) return once(SVError::autosignUnavailable());
        operations::deliver(chainedStep(APIInteractionManager::shared().makeInteractor(user),
                                        [user](const APIInteractor& interactor) {
                                            return interactor.getAutosignTransactionList(user);
                                        }),
                            once);
    });
}

void SVAutoSigner::autosignWithJSONParameters(const SVTransaction& transaction, const SVUser& user,
                                              SVScoringParameters<nlohmann::ordered_json> scoringParameters,
                                              SVCompletion completion) {
    operations::run(std::move(completion), [&](const OnceCompletion<void>& once) {
        if (!isAutosignReady(user)) return once(SVError::autosignUnavailable());
        operations::deliver(chainedStep(APIInteractionManager::shared().makeInteractor(user),
                                        [transaction, user, parameters = std::move(scoringParameters)](
                                            const APIInteractor& interactor) {
                                            return interactor.autosign(transaction, user, parameters);
                                        }),
                            once);
    });
}

}  // namespace svsdk
