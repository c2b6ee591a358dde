// Confirmation and authentication codes: HMAC-SHA256 over a tag-length-value block.
#include <svsdk/SVError.h>

#include "Core/Logger.h"
#include "Core/Security/Cryptor.h"
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

}  // namespace svsdk
