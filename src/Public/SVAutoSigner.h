#pragma once
// Automatic confirmation of transactions the server chooses, with a separate
// autosign key pair, and the server's scoring settings. The server enables
// both per user (options 0x200 autosign, 0x400 scoring). Static members only.
//
// A failed local check calls the completion before returning and contacts
// nobody; every completion is called exactly once.
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "SVCompletion.h"
#include "SVScoring.h"
#include "SVTransaction.h"
#include "SVUser.h"

namespace svsdk {

class SVAutoSigner {
public:
    SVAutoSigner() = delete;

    // Makes the autosign key pair and registers it. SVError::autosignUnavailable
    // without option 0x200; a user of the current storage whose pair exists
    // succeeds at once without a request.
    static void registerToAutosign(const SVUser& user, SVCompletion completion);

    // The server's scoring settings decoded as T (`from_json`).
    // SVError::scoringUnavailable without option 0x400, or when the settings
    // do not decode as T.
    template <class T>
    static void getScoringSettings(const SVUser& user, SVResultCompletion<SVScoringSettings<T>> completion) {
        getScoringSettingsJSON(user, [completion = std::move(completion)](
                                         const SVResult<SVScoringSettings<nlohmann::json>>& result) {
            if (!completion) return;
            if (!result.ok()) return completion(result.error());
            std::optional<SVScoringSettings<T>> decoded;
            try {
                decoded.emplace(detail::ScoringSettingsAccess::make(
                    result.value().provider(), result.value().settings().template get<T>()));
            } catch (...) {
                return completion(SVError::scoringUnavailable());
            }
            completion(std::move(*decoded));
        });
    }

    // Identifiers of the transactions waiting for automatic confirmation.
    // SVError::autosignUnavailable unless the user has option 0x200, is of
    // the current storage and has its autosign key pair.
    static void getAutosignTransactionsList(const SVUser& user,
                                            SVResultCompletion<std::vector<std::string>> completion);

    // Confirms the transaction with the autosign key, sending the scoring
    // parameters. The same checks as getAutosignTransactionsList.
    template <class T>
    static void autosign(const SVTransaction& transaction, const SVUser& user,
                         const SVScoringParameters<T>& scoringParameters, SVCompletion completion) {
        auto json = detail::scoringParametersAsJSON(scoringParameters, completion);
        if (json) autosignWithJSONParameters(transaction, user, std::move(*json), std::move(completion));
    }

    // The forms of the templates above over JSON values.
    static void getScoringSettingsJSON(const SVUser& user,
                                       SVResultCompletion<SVScoringSettings<nlohmann::json>> completion);
    static void autosignWithJSONParameters(const SVTransaction& transaction, const SVUser& user,
                                           SVScoringParameters<nlohmann::ordered_json> scoringParameters,
                                           SVCompletion completion);
};

}  // namespace svsdk
