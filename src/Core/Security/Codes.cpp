// Confirmation and authentication codes: HMAC-SHA256 over a tag-length-value block.
#include <svsdk/SVError.h>
#include <svsdk/SVUser.h>

#include "Core/Diagnostics/Logger.h"
#include "Core/Security/Cryptor.h"
#include "Core/Security/TLV.h"
#include "Core/Time/TimeManager.h"
#include "Core/Utilities/Encoding.h"

namespace svsdk {

namespace {

Bytes code(const Bytes& tlv, const Bytes& key, const char* keyLabel, const char* codeLabel) {
    Logger::secret([&] { return keyLabel + hexString(key); });
    Logger::log(SVLogCategory::data, [&] { return "Full TLV: " + hexString(tlv); });
    auto mac = Cryptor::hmac(key, tlv);
    if (!mac) throw SVError::internalError();
    Logger::log(SVLogCategory::data, [&] { return codeLabel + hexString(*mac); });
    return std::move(*mac);
}

}  // namespace

Bytes Cryptor::confirmationCode(const Bytes& tlv, const Bytes& hmacKey) {
    return code(tlv, hmacKey, "HMAC Key ", "Confirmation Code: ");
}

Bytes Cryptor::authenticationCode(const Bytes& tlv, const Bytes& authorizationKey) {
    return code(tlv, authorizationKey, "Authorization Key: ", "Authentication Code: ");
}

Bytes Cryptor::authenticationCode(std::uint8_t tag, std::string_view value, const SVUser& user,
                                  const Bytes& authorizationKey, std::string_view label) {
    const double time = TimeManager::shared().discreteTimeInterval(user.authorizationCodeTSI());
    Logger::log(SVLogCategory::data, "TLV SystemID");
    Bytes block = TLV::make(TLV::Tag::systemID, user.systemID());
    TLV::append(block, TLV::userID(user.userID()));
    Logger::log(SVLogCategory::data, label);
    TLV::append(block, TLV::make(tag, value));
    TLV::append(block, TLV::timeInterval(time));
    return authenticationCode(block, authorizationKey);
}

Bytes Cryptor::authenticationCodeForFingerprint(std::string_view fingerprint, const SVUser& user,
                                                const Bytes& authorizationKey) {
    return authenticationCode(static_cast<std::uint8_t>(TLV::Tag::fingerprint), fingerprint, user, authorizationKey,
                              "TLV Fingerprint");
}

Bytes Cryptor::authenticationCodeForPublicKey(std::string_view publicKey, const SVUser& user,
                                              const Bytes& authorizationKey) {
    return authenticationCode(static_cast<std::uint8_t>(TLV::Tag::publicKey), publicKey, user, authorizationKey,
                              "TLV Public Key");
}

}  // namespace svsdk
