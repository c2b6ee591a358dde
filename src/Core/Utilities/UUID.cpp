#include "Core/Utilities/UUID.h"

#include <openssl/err.h>
#include <openssl/rand.h>

#include <svsdk/SVError.h>

namespace svsdk {

std::string makeUUIDString() {
    std::array<std::uint8_t, 16> bytes{};
    if (RAND_bytes(bytes.data(), static_cast<int>(bytes.size())) != 1) {
        unsigned long code = ERR_get_error();
        char message[256] = "random source failed";
        if (code) ERR_error_string_n(code, message, sizeof message);
        throw SVPlatformError("openssl", static_cast<std::int64_t>(code), message);
    }
    return uuidString(bytes);
}

std::string uuidString(std::array<std::uint8_t, 16> bytes) {
    bytes[6] = static_cast<std::uint8_t>((bytes[6] & 0x0F) | 0x40);  // version 4
    bytes[8] = static_cast<std::uint8_t>((bytes[8] & 0x3F) | 0x80);  // RFC 4122 variant
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(36);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) text += '-';
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 15];
    }
    return text;
}

}  // namespace svsdk
