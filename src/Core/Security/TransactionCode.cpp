#include "Core/Security/TransactionCode.h"

#include <svsdk/SVError.h>
#include <svsdk/SVTransaction.h>
#include <svsdk/SVUser.h>

#include "Core/Security/Cryptor.h"
#include "Core/Security/HandlesManager.h"
#include "Core/Security/TLV.h"
#include "Core/Time/TimeManager.h"
#include "Core/Utilities/Encoding.h"

namespace svsdk {

namespace {

Bytes cachedHMACKey(const SVUser& user) {
    auto key = HandlesManager::shared().handle(HandleType::hmac, user);
    if (!key) throw SVError::handleInvalid();
    return std::move(*key);
}

}  // namespace

TransactionCode transactionCode(const SVTransaction& transaction, const SVUser& user,
                                const std::optional<std::string>& declineReason, bool withShortCode) {
    Bytes key = cachedHMACKey(user);
    const double time = TimeManager::shared().discreteTimeInterval(user.confirmationCodeTSI());
    TransactionCode result;
    result.block = TLV::transactionConfirmation(transaction, user, declineReason, time);
    Bytes code = Cryptor::confirmationCode(result.block, key);
    result.code = hexString(code);
    result.shortCode = withShortCode
                           ? Cryptor::shortCodeForLength(code, result.code, transaction.confirmationCodeLength())
                           : result.code;
    return result;
}

}  // namespace svsdk
