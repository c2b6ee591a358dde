#include "Core/Networking/APIInteractor.h"

#include "Core/Utilities/JSON.h"

namespace svsdk {

nlohmann::json answerObject(const Bytes& data) {
    nlohmann::json dictionary = jsonDictionary(data);
    // Moved out, not copied: the answer is most of the document.
    auto answer = dictionary.find("answer");
    if (answer == dictionary.end() || !answer->is_object()) throw SVError::missingRequestedData();
    return std::move(*answer);
}

std::vector<std::string> decodeTransactionListAnswer(const Bytes& data) {
    return valueForKey<std::vector<std::string>>(answerObject(data), "transaction_list", std::vector<std::string>{});
}

SVTransaction transactionFromServerRecord(nlohmann::json record, const std::string& transactionID,
                                          const std::string& userID, const std::string& systemID) {
    if (!record.is_object()) throw SVError::missingRequestedData();
    record["transaction_id"] = transactionID;
    record["user_id"] = userID;
    record["system_id"] = systemID;
    SVTransaction transaction = SVTransaction::decode(jsonData(record));
    detail::TransactionOrigin::setFromUserServer(transaction, true);
    return transaction;
}

}  // namespace svsdk
