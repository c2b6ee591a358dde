#pragma once
// A QR-login session: the short JSON text of a login QR code, decoded. The
// host confirms or declines the login transaction the session's server
// names; the session's `pulp` bytes are signed along with it.
#include <string>
#include <string_view>

#include <nlohmann/json_fwd.hpp>

#include "SVBytes.h"
#include "SVTransaction.h"

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
