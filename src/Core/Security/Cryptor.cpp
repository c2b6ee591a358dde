#include "Core/Security/Cryptor.h"

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/sha.h>

#include <limits>

#include "Core/Security/OpenSSLPointers.h"

namespace svsdk {
namespace {

const std::uint8_t kEmpty = 0;

// An HMAC-SHA256 context with its digest set and no key, made once. Each MAC
// starts from a copy of it, so neither the MAC nor the digest is looked up by
// name again; the template itself is only ever read.
const EVP_MAC_CTX* hmacTemplate() {
    static EVP_MAC_CTX* const context = [] {
        EVP_MAC* mac = EVP_MAC_fetch(nullptr, "HMAC", nullptr);
        if (!mac) return static_cast<EVP_MAC_CTX*>(nullptr);
        EVP_MAC_CTX* made = EVP_MAC_CTX_new(mac);
        EVP_MAC_free(mac);  // the context keeps its own reference
        char digest[] = "SHA256";
        OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest, 0),
                               OSSL_PARAM_construct_end()};
        if (made && EVP_MAC_CTX_set_params(made, params) != 1) {
            EVP_MAC_CTX_free(made);
            made = nullptr;
        }
        return made;
    }();
    return context;
}

}  // namespace

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
    openssl::CipherCtx ctx(EVP_CIPHER_CTX_new());
    if (!ctx) return std::nullopt;
    int enc = operation == Operation::encrypt ? 1 : 0;
    if (EVP_CipherInit_ex(ctx.get(), cipher, nullptr, key.data(), nullptr, enc) != 1) return std::nullopt;
    EVP_CIPHER_CTX_set_padding(ctx.get(), 0);
    if (data.size() > static_cast<std::size_t>(std::numeric_limits<int>::max() - 16)) return std::nullopt;
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
    const EVP_MAC_CTX* shape = hmacTemplate();
    if (!shape) return std::nullopt;
    openssl::MacCtx ctx(EVP_MAC_CTX_dup(shape));
    Bytes out(32, 0);
    std::size_t length = 0;
    // A key pointer is always given: a null one would mean "keep the old key".
    if (!ctx || EVP_MAC_init(ctx.get(), key.empty() ? &kEmpty : key.data(), key.size(), nullptr) != 1 ||
        EVP_MAC_update(ctx.get(), data.empty() ? &kEmpty : data.data(), data.size()) != 1 ||
        EVP_MAC_final(ctx.get(), out.data(), &length, out.size()) != 1 || length != 32)
        return std::nullopt;
    return out;
}

std::optional<Bytes> Cryptor::pbkdf2(const Bytes& password, const Bytes& salt, std::uint32_t rounds,
                                     std::size_t length) {
    // The library takes every size as an int (and a length of -1 as "measure
    // the text"), so anything larger is refused rather than cut.
    constexpr std::size_t limit = static_cast<std::size_t>(std::numeric_limits<int>::max());
    if (rounds == 0 || rounds > limit || length == 0 || length > limit || password.size() > limit ||
        salt.size() > limit)
        return std::nullopt;
    Bytes out(length, 0);
    if (PKCS5_PBKDF2_HMAC(reinterpret_cast<const char*>(password.empty() ? &kEmpty : password.data()),
                          static_cast<int>(password.size()), salt.empty() ? &kEmpty : salt.data(),
                          static_cast<int>(salt.size()), static_cast<int>(rounds), EVP_sha256(),
                          static_cast<int>(length), out.data()) != 1)
        return std::nullopt;
    return out;
}

Bytes Cryptor::sha256(const Bytes& data) { return sha256(data.data(), data.size()); }

Bytes Cryptor::sha256(const void* data, std::size_t length) {
    Bytes out(32, 0);
    const auto* input = length ? static_cast<const unsigned char*>(data) : &kEmpty;
    const EVP_MD* digest = openssl::sha256();
    // The one-shot function covers the (allocation) failure of a digest context.
    if (!digest || EVP_Digest(input, length, out.data(), nullptr, digest, nullptr) != 1) SHA256(input, length, out.data());
    return out;
}

}  // namespace svsdk
