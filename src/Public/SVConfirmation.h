#pragma once
// The result of confirming a transaction (or of answering a key-renewal
// challenge): the confirmation code, the short code, the ECDSA signature
// over the signed block, and when the record was made. Made by the SDK.
#include <string>

#include "SVBytes.h"

namespace svsdk {

class SVTransaction;
class SVUser;
class SecKey;

class SVConfirmation {
public:
    // Confirms `transaction` for `user` in the current time step: the code
    // is keyed with the user's cached kHMAC and the block is signed with the
    // user's key pair. With `withShortCode` the short code follows the
    // transaction's code length (see Cryptor::shortCodeForLength); without,
    // it equals the confirmation code.
    // Throws SVError::handleInvalid when no kHMAC is cached (nothing is
    // signed then), SVError::secureEnclaveError when the key pair cannot be
    // read or signing fails, SVError::internalError when the block cannot be
    // built (for example a time step that gives no valid time).
    SVConfirmation(const SVTransaction& transaction, const SVUser& user, bool withShortCode);
    // Confirms arbitrary `data` with the HMAC key `key`; the short code is empty.
    SVConfirmation(const Bytes& data, const SVUser& user, const Bytes& key);

    // ECDSA P-256 over SHA-256 of `data`, X9.62 DER. Throws
    // SVError::secureEnclaveError with the library's description, or with
    // "Could not sign the data" when it gives none.
    static Bytes sign(const Bytes& data, const SecKey& privateKey);

    // 64 lowercase hex characters.
    const std::string& confirmationCode() const { return confirmationCode_; }
    // Decimal digits, the confirmation code itself, or empty.
    const std::string& shortConfirmationCode() const { return shortConfirmationCode_; }
    // Lowercase hex of the DER signature.
    const std::string& signature() const { return signature_; }
    // Seconds since 1970 by the device clock.
    double timestamp() const { return timestamp_; }

    friend bool operator==(const SVConfirmation&, const SVConfirmation&) = default;

private:
    std::string confirmationCode_;
    std::string shortConfirmationCode_;
    std::string signature_;
    double timestamp_ = 0;
};

}  // namespace svsdk
