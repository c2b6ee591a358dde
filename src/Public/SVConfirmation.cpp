#include <svsdk/SVConfirmation.h>

#include <openssl/err.h>

#include <svsdk/SVError.h>
#include <svsdk/SVUser.h>

#include "Core/Diagnostics/Logger.h"
#include "Core/Security/Cryptor.h"
#include "Core/Security/SecKey.h"
#include "Core/Security/SecureEnclave.h"
#include "Core/Security/TLV.h"
#include "Core/Security/TransactionCode.h"
#include "Core/Time/TimeManager.h"
#include "Core/Utilities/Encoding.h"

namespace svsdk {

namespace {

std::string signatureOf(const Bytes& block, const SVUser& user) {
    auto pair = SecureEnclave::users().retrieveKeyPair(user.uniqueID());
    return hexString(SVConfirmation::sign(block, pair.privateKey));
}

}  // namespace

SVConfirmation::SVConfirmation(const SVTransaction& transaction, const SVUser& user, bool withShortCode) {
    TransactionCode code = transactionCode(transaction, user, std::nullopt, withShortCode);
    confirmationCode_ = std::move(code.code);
    shortConfirmationCode_ = std::move(code.shortCode);
    signature_ = signatureOf(code.block, user);
    timestamp_ = TimeManager::deviceClock();
}

SVConfirmation::SVConfirmation(const Bytes& data, const SVUser& user, const Bytes& key) {
    const double time = TimeManager::shared().discreteTimeInterval(user.confirmationCodeTSI());
    Bytes block = TLV::dataConfirmation(data, user, time);
    confirmationCode_ = hexString(Cryptor::confirmationCode(block, key));
    signature_ = signatureOf(block, user);
    timestamp_ = TimeManager::deviceClock();
}

Bytes SVConfirmation::sign(const Bytes& data, const SecKey& privateKey) {
    ERR_clear_error();
    auto signature = privateKey.sign(data);
    if (signature) return std::move(*signature);
    if (unsigned long code = ERR_get_error()) {
        char text[256];
        ERR_error_string_n(code, text, sizeof text);
        ERR_clear_error();
        Logger::error(SVLogCategory::security, text);
        throw SVError::secureEnclaveError(text);
    }
    throw SVError::secureEnclaveError("Could not sign the data");
}

}  // namespace svsdk
