#pragma once
// A QR-login session: the short JSON text of a login QR code, decoded. The
// host confirms or declines the login transaction the session's server
// names; the session's `pulp` bytes are signed along with it.
#include <string>
#include <string_view>

#include <nlohmann/json_fwd.hpp>

#include "SVBytes.h"
#include "SVCompletion.h"
#include "SVTransaction.h"
#include "SVUser.h"

namespace svsdk {

class SVLogin {
public:
    // Memberwise; no checks.
    SVLogin(std::string systemID, double expirationTime, std::string sessionID, SVQRType type, Bytes pulp,
            std::string loqURL);

    // Decodes the six members, in this order: "sid" and "sysId" (texts),
    // "type" (one of the raw values of SVQRType), "expires" (a number),
    // "pulp" (standard Base64) and "loqUrl" (an absolute URL). Every member is
    // required; the first missing or malformed one throws SVDecodingError.
    // Other members are ignored. The text form also throws SVDecodingError
    // (dataCorrupted) when it is not valid JSON.
    static SVLogin decode(const nlohmann::json& json);
    static SVLogin decode(std::string_view jsonText);

    // The session of a login QR text. SVError::invalidQR when the text does
    // not decode or is not of type "login"; SVError::loginSessionIsExpired
    // when the device clock reads `expirationTime` or later.
    static SVLogin importFromJSON(const std::string& text);

    // The session's login transaction, from the user's server (with its
    // binary document when it has one).
    void requestLoginTransaction(const SVUser& user, SVResultCompletion<SVTransaction> completion) const;
    // Confirms or declines the login transaction with the session's `pulp`
    // bytes appended to its binary data, while the session lasts (by the
    // device clock; SVError::loginSessionIsExpired afterwards, without any
    // request). A transaction whose binary document was not downloaded is
    // refused with SVError::binaryDataIsRequired.
    void confirm(const SVTransaction& loginTransaction, const SVUser& user, SVCompletion completion) const;
    void decline(const SVTransaction& loginTransaction, const SVUser& user, SVCompletion completion) const;

    // The server system that opened the session.
    const std::string& systemID() const { return systemID_; }
    // End of the session, seconds since 1970 (may carry a fraction).
    double expirationTime() const { return expirationTime_; }

    // For the SDK's own use: the session's identifier, the kind of QR text,
    // the opaque bytes signed with the login transaction, and the base URL
    // of the login service.
    const std::string& sessionID() const { return sessionID_; }
    SVQRType type() const { return type_; }
    const Bytes& pulp() const { return pulp_; }
    const std::string& loqURL() const { return loqURL_; }

    friend bool operator==(const SVLogin&, const SVLogin&) = default;

private:
    std::string systemID_;
    double expirationTime_;
    std::string sessionID_;
    SVQRType type_;
    Bytes pulp_;
    std::string loqURL_;
};

}  // namespace svsdk
