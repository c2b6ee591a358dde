#include "Core/Utilities/Encoding.h"

#include <openssl/evp.h>

namespace svsdk {

std::string hexString(const Bytes& bytes) { return hexString(bytes.data(), bytes.size()); }

std::string hexString(const std::uint8_t* data, std::size_t length) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string text(length * 2, '0');
    for (std::size_t i = 0; i < length; ++i) {
        text[2 * i] = digits[data[i] >> 4];
        text[2 * i + 1] = digits[data[i] & 15];
    }
    return text;
}

std::vector<std::string> hexBytes(const Bytes& bytes) {
    std::vector<std::string> texts;
    texts.reserve(bytes.size());
    for (auto b : bytes) texts.push_back(hexString(&b, 1));
    return texts;
}

namespace {
int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}
}  // namespace

std::optional<Bytes> bytesFromHex(std::string_view text) {
    if (text.size() % 2 != 0) return std::nullopt;
    Bytes out;
    out.reserve(text.size() / 2);
    for (std::size_t i = 0; i < text.size(); i += 2) {
        int high = hexValue(text[i]);
        int low = hexValue(text[i + 1]);
        if (high < 0 || low < 0) return std::nullopt;
        out.push_back(static_cast<std::uint8_t>(high * 16 + low));
    }
    return out;
}

std::string base64Encode(const Bytes& bytes) { return base64Encode(bytes.data(), bytes.size()); }

std::string base64Encode(const std::uint8_t* data, std::size_t length) {
    std::string text(4 * ((length + 2) / 3), '\0');
    if (length == 0) return text;
    int written = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()), data, static_cast<int>(length));
    text.resize(static_cast<std::size_t>(written));
    return text;
}

std::optional<Bytes> base64Decode(std::string_view text) {
    if (text.size() % 4 != 0) return std::nullopt;
    if (text.empty()) return Bytes{};
    std::size_t padding = 0;
    if (text.back() == '=') padding = text[text.size() - 2] == '=' ? 2 : 1;
    for (std::size_t i = 0; i < text.size() - padding; ++i) {
        char c = text[i];
        bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/';
        if (!ok) return std::nullopt;
    }
    Bytes out(text.size() / 4 * 3, 0);
    int decoded = EVP_DecodeBlock(out.data(), reinterpret_cast<const unsigned char*>(text.data()),
                                  static_cast<int>(text.size()));
    if (decoded < 0) return std::nullopt;
    out.resize(static_cast<std::size_t>(decoded) - padding);
    return out;
}

}  // namespace svsdk
