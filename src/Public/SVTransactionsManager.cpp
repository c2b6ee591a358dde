#include <svsdk/SVTransactionsManager.h>

#include "Core/Importing/ImportSource.h"
#include "Core/Importing/ImporterSupport.h"
#include "Core/Importing/Importers.h"
#include "Core/Networking/APIInteractionManager.h"
#include "Core/Networking/Dispatch.h"
#include "Core/Operations/Operations.h"

namespace svsdk {
namespace operations {

void sign(const SVTransaction& transaction, const SVUser& user,
          std::optional<JSONScoringParameters> scoringParameters, const OnceCompletion<void>& completion) {
    Logger::log(SVLogCategory::operations, "Signing the transaction " + transaction.transactionID());
    if (isBinaryDataPending(transaction)) return completion(SVError::binaryDataIsRequired());
    deliver(chainedStep(APIInteractionManager::shared().makeInteractor(user),
                        [transaction, user, scoringParameters = std::move(scoringParameters)](
                            const APIInteractor& interactor) {
                            return interactor.confirm(transaction, user, scoringParameters);
                        }),
            completion);
}

void decline(const SVTransaction& transaction, const SVUser& user, const OnceCompletion<void>& completion) {
    Logger::log(SVLogCategory::operations, "Declining the transaction " + transaction.transactionID());
    if (isBinaryDataPending(transaction)) return completion(SVError::binaryDataIsRequired());
    deliver(chainedStep(APIInteractionManager::shared().makeInteractor(user),
                        [transaction, user](const APIInteractor& interactor) {
                            return interactor.decline(transaction, user);
                        }),
            completion);
}

}  // namespace operations

using operations::OnceCompletion;

void SVTransactionsManager::getTransactionList(const SVUser& user,
                                               SVResultCompletion<std::vector<std::string>> completion) {
    operations::run(std::move(completion), [&](const OnceCompletion<std::vector<std::string>>& once) {
        Logger::log(SVLogCategory::operations, "Getting the user's " + user.userID() + " transactions");
        operations::deliver(chainedStep(APIInteractionManager::shared().makeInteractor(user),
                                        [user](const APIInteractor& interactor) {
                                            return interactor.getTransactionList(user);
                                        }),
                            once);
    });
}

void SVTransactionsManager::getTransaction(const std::string& id, const SVUser& user,
                                           SVResultCompletion<SVTransaction> completion) {
    operations::run(std::move(completion), [&](const OnceCompletion<SVTransaction>& once) {
        Logger::log(SVLogCategory::operations, "Getting the transaction (" + id + ") data");
        operations::deliver(chainedStep(APIInteractionManager::shared().makeInteractor(user),
                                        [id, user](const APIInteractor& interactor) {
                                            return interactor.getTransaction(id, user);
                                        }),
                            once);
    });
}

void SVTransactionsManager::getTransactionBinaryData(const SVTransaction& transaction, const SVUser& user,
                                                     SVResultCompletion<SVTransaction> completion) {
    operations::run(std::move(completion), [&](const OnceCompletion<SVTransaction>& once) {
        Logger::log(SVLogCategory::operations,
                    "Getting the transaction's (" + transaction.transactionID() + ") binary data");
        if (!transaction.hasBinaryData()) return once(SVError::binaryDataIsUnavaiable());
        operations::deliver(chainedStep(APIInteractionManager::shared().makeInteractor(user),
                                        [transaction, user](const APIInteractor& interactor) {
                                            return interactor.getTransactionBinaryData(transaction, user);
                                        }),
                            once);
    });
}

void SVTransactionsManager::sign(const SVTransaction& transaction, const SVUser& user, SVCompletion completion) {
    signWithJSONParameters(transaction, user,
                           SVScoringParameters<nlohmann::ordered_json>("", nlohmann::ordered_json::object()),
                           std::move(completion));
}

void SVTransactionsManager::signWithJSONParameters(const SVTransaction& transaction, const SVUser& user,
                                                   SVScoringParameters<nlohmann::ordered_json> scoringParameters,
                                                   SVCompletion completion) {
    operations::run(std::move(completion), [&](const OnceCompletion<void>& once) {
        operations::sign(transaction, user, std::move(scoringParameters), once);
    });
}

void SVTransactionsManager::decline(const SVTransaction& transaction, const SVUser& user, SVCompletion completion) {
    operations::run(std::move(completion),
                    [&](const OnceCompletion<void>& once) { operations::decline(transaction, user, once); });
}

SVConfirmation SVTransactionsManager::signOffline(const SVTransaction& transaction, const SVUser& user) {
    if (operations::isBinaryDataPending(transaction)) throw SVError::binaryDataIsRequired();
    return SVConfirmation(transaction, user, true);
}

SVDeclination SVTransactionsManager::declineOffline(const SVTransaction& transaction, const SVUser& user) {
    if (operations::isBinaryDataPending(transaction)) throw SVError::binaryDataIsRequired();
    return SVDeclination(transaction, user, true);
}

std::optional<SVTransaction> SVTransactionsManager::importTransaction(const std::string& from) {
    // Nothing an import meets (memory included) reaches the host: it gives nothing.
    return importing::guarded(SVLogCategory::operations, [&]() -> std::optional<SVTransaction> {
        Logger::log(SVLogCategory::operations, [&] { return "Importing a transaction from string: " + from; });
        ImportSource source = ImportSource::detect(from);
        auto importer = makeTransactionImporter(source);
        if (!importer) return std::nullopt;
        std::optional<SVTransaction> transaction = importer->importTransaction(from);
        if (!transaction) return std::nullopt;
        Logger::log(SVLogCategory::operations, [&] {
            return std::string("The transaction is successfully imported from a ") + source.displayName() +
                   " source string";
        });
        return transaction;
    });
}

}  // namespace svsdk
