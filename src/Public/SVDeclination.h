#pragma once
// The result of declining a transaction: the decline code (the confirmation
// block with the decline reason appended to the transaction's value), the
// short code, the reason and when the record was made. Made by the SDK.
#include <string>

namespace svsdk {

class SVTransaction;
class SVUser;

class SVDeclination {
public:
    // Declines `transaction` for `user` in the current time step with the
    // reason "not authorized". Short code as for SVConfirmation. Throws
    // SVError::handleInvalid when no kHMAC is cached, SVError::internalError
    // when the block cannot be built.
    SVDeclination(const SVTransaction& transaction, const SVUser& user, bool withShortCode);

    // 64 lowercase hex characters.
    const std::string& declineCode() const { return declineCode_; }
    const std::string& shortDeclineCode() const { return shortDeclineCode_; }
    // Always "not authorized".
    const std::string& declineReason() const { return declineReason_; }
    // Seconds since 1970 by the device clock.
    double timestamp() const { return timestamp_; }

    friend bool operator==(const SVDeclination&, const SVDeclination&) = default;

private:
    std::string declineCode_;
    std::string shortDeclineCode_;
    std::string declineReason_;
    double timestamp_ = 0;
};

}  // namespace svsdk
