#include "Core/Security/Cryptor.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/sha.h>

#include <memory>

namespace svsdk {

void secureWipe(void* data, std::size_t length) noexcept {
    if (data && length) OPENSSL_cleanse(data, length);
}

std::optional<Bytes> Cryptor::crypt(Operation operation, const Bytes& key, const Bytes& data) {
    const EVP_CIPHER* cipher = nullptr;
    switch (key.size()) {
        case 32: cipher = EVP_aes_256_ecb(); break;
        case 16: cipher = EVP_aes_128_ecb(); break;
        case 24: cipher = EVP_aes_192_ecb(); break;
        default: return std::nullopt;
    }
    if (data.size() % 16 != 0) return std::nullopt;
    if (data.empty()) return Bytes{};
    std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> ctx(EVP_CIPHER_CTX_new(), EVP_CIPHER_CTX_free);
    if (!ctx) return std::nullopt;
    int enc = operation == Operation::encrypt ? 1 : 0;
    if (EVP_CipherInit_ex(ctx.get(), cipher, nullptr, key.data(), nullptr, enc) != 1) return std::nullopt;
    EVP_CIPHER_CTX_set_padding(ctx.get(), 0);
    Bytes out(data.size() + 16, 0);
    int moved = 0;
    int tail = 0;
    if (EVP_CipherUpdate(ctx.get(), out.data(), &moved, data.data(), static_cast<int>(data.size())) != 1)
        return std::nullopt;
    if (EVP_CipherFinal_ex(ctx.get(), out.data() + moved, &tail) != 1) return std::nullopt;
    out.resize(static_cast<std::size_t>(moved + tail));
    return out;
}

std::optional<Bytes> Cryptor::hmac(const Bytes& key, const Bytes& data) {
    Bytes out(32, 0);
    unsigned int length = 0;
    static const std::uint8_t empty = 0;
    const void* keyData = key.empty() ? &empty : key.data();
    if (!HMAC(EVP_sha256(), keyData, static_cast<int>(key.size()), data.empty() ? &empty : data.data(), data.size(),
              out.data(), &length) ||
        length != 32)
        return std::nullopt;
    return out;
}

std::optional<Bytes> Cryptor::pbkdf2(const Bytes& password, const Bytes& salt, std::uint32_t rounds,
                                     std::size_t length) {
    if (rounds == 0 || length == 0) return std::nullopt;
    Bytes out(length, 0);
    static const std::uint8_t empty = 0;
    if (PKCS5_PBKDF2_HMAC(reinterpret_cast<const char*>(password.empty() ? &empty : password.data()),
                          static_cast<int>(password.size()), salt.empty() ? &empty : salt.data(),
                          static_cast<int>(salt.size()), static_cast<int>(rounds), EVP_sha256(),
                          static_cast<int>(length), out.data()) != 1)
        return std::nullopt;
    return out;
}

Bytes Cryptor::sha256(const Bytes& data) { return sha256(data.data(), data.size()); }

Bytes Cryptor::sha256(const void* data, std::size_t length) {
    Bytes out(32, 0);
    static const std::uint8_t empty = 0;
    SHA256(length ? static_cast<const unsigned char*>(data) : &empty, length, out.data());
    return out;
}

}  // namespace svsdk
