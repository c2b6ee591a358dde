#pragma once
// The code of a transaction in the current time step, shared by
// confirmations and declinations.
#include <optional>
#include <string>

#include <svsdk/SVBytes.h>

namespace svsdk {

class SVTransaction;
class SVUser;

struct TransactionCode {
    Bytes block;            // the signed tag-length-value block
    std::string code;       // the HMAC in lowercase hex
    std::string shortCode;  // by the transaction's code length, or `code`
};

// kHMAC from the secret cache (SVError::handleInvalid when absent), the
// discrete time of the user's confirmationCodeTSI, the confirmation block
// with `declineReason`, its code and the short code (the full code unless
// `withShortCode`).
TransactionCode transactionCode(const SVTransaction& transaction, const SVUser& user,
                                const std::optional<std::string>& declineReason, bool withShortCode);

}  // namespace svsdk
