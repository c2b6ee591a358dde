#pragma once
// Everything about one transaction of one user: the list waiting at the
// server, a transaction's data and binary document, signing (with or
// without scoring parameters) and declining through the server, offline
// confirmation and declination codes, and import from a scanned text.
// Static members only.
//
// Online operations log, run a local check (a failed one calls the
// completion before returning and contacts nobody), ask for the user's
// protocol object (probing its server's API version when needed) and run one
// server operation. Every completion is called exactly once.
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "SVCompletion.h"
#include "SVConfirmation.h"
#include "SVDeclination.h"
#include "SVScoring.h"
#include "SVTransaction.h"
#include "SVUser.h"

namespace svsdk {

class SVTransactionsManager {
public:
    SVTransactionsManager() = delete;

    // Identifiers of the transactions waiting for the user.
    static void getTransactionList(const SVUser& user, SVResultCompletion<std::vector<std::string>> completion);
    static void getTransaction(const std::string& id, const SVUser& user, SVResultCompletion<SVTransaction> completion);
    // The transaction with its binary document downloaded; fails with
    // SVError::binaryDataIsUnavaiable for a transaction that has none.
    static void getTransactionBinaryData(const SVTransaction& transaction, const SVUser& user,
                                         SVResultCompletion<SVTransaction> completion);

    // Confirms the transaction at the server; it sends the empty scoring
    // parameters (provider "", parameters {}). A transaction whose binary
    // document was not downloaded fails with SVError::binaryDataIsRequired.
    static void sign(const SVTransaction& transaction, const SVUser& user, SVCompletion completion);
    // The same with the host's scoring parameters (T converts to JSON with
    // `to_json`; a conversion that throws is the completion's failure).
    template <class T>
    static void sign(const SVTransaction& transaction, const SVUser& user,
                     const SVScoringParameters<T>& scoringParameters, SVCompletion completion) {
        auto json = detail::scoringParametersAsJSON(scoringParameters, completion);
        if (json) signWithJSONParameters(transaction, user, std::move(*json), std::move(completion));
    }
    static void decline(const SVTransaction& transaction, const SVUser& user, SVCompletion completion);

    // Codes computed on the device alone, with the short code; nothing is
    // sent. SVError::binaryDataIsRequired when the binary document is
    // pending; otherwise the errors of SVConfirmation / SVDeclination.
    static SVConfirmation signOffline(const SVTransaction& transaction, const SVUser& user);
    static SVDeclination declineOffline(const SVTransaction& transaction, const SVUser& user);

    // A transaction from a QR, deep-link, JSON or plain-text source; nothing
    // when the source is not recognised or not valid. Never throws: any
    // failure (memory included) is logged and gives nothing.
    static std::optional<SVTransaction> importTransaction(const std::string& from);

    // `sign` with parameters already in JSON form.
    static void signWithJSONParameters(const SVTransaction& transaction, const SVUser& user,
                                       SVScoringParameters<nlohmann::ordered_json> scoringParameters,
                                       SVCompletion completion);
};

}  // namespace svsdk
