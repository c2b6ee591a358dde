#include <svsdk/SVDeclination.h>

#include <svsdk/SVTransaction.h>

#include "Core/Security/TransactionCode.h"
#include "Core/Time/TimeManager.h"

namespace svsdk {

namespace {
constexpr const char* declineReasonText = "not authorized";
}  // namespace

SVDeclination::SVDeclination(const SVTransaction& transaction, const SVUser& user, bool withShortCode) {
    TransactionCode code = transactionCode(transaction, user, std::string(declineReasonText), withShortCode);
    declineCode_ = std::move(code.code);
    shortDeclineCode_ = std::move(code.shortCode);
    declineReason_ = declineReasonText;
    timestamp_ = TimeManager::deviceClock();
}

}  // namespace svsdk
