#include "Core/Security/Ecies.h"

#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>

#include "Core/Security/OpenSSLPointers.h"

namespace svsdk::ecies {
namespace {

constexpr std::size_t kAesKeySize = 16;
constexpr std::size_t kIvSize = 16;

using namespace openssl;

// The x-coordinate of own * peer.
std::optional<Bytes> sharedSecret(const SecKey& own, const SecKey& peer) {
    PkeyCtx ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, own.get(), nullptr));
    if (!ctx || EVP_PKEY_derive_init(ctx.get()) != 1) return std::nullopt;
    // P-256 has cofactor 1, so cofactor and plain Diffie-Hellman agree.
    EVP_PKEY_CTX_set_ecdh_cofactor_mode(ctx.get(), 1);
    std::size_t length = 0;
    if (EVP_PKEY_derive_set_peer(ctx.get(), peer.get()) != 1 || EVP_PKEY_derive(ctx.get(), nullptr, &length) != 1)
        return std::nullopt;
    Bytes secret(length, 0);
    if (EVP_PKEY_derive(ctx.get(), secret.data(), &length) != 1) return std::nullopt;
    secret.resize(length);
    return secret;
}

std::optional<Bytes> deriveKey(const Bytes& secret, const Bytes& ephemeralPublicKey) {
    Kdf kdf(EVP_KDF_fetch(nullptr, "X963KDF", nullptr));
    if (!kdf) return std::nullopt;
    KdfCtx ctx(EVP_KDF_CTX_new(kdf.get()));
    if (!ctx) return std::nullopt;
    char digest[] = "SHA256";
    OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, digest, 0),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_KEY, const_cast<std::uint8_t*>(secret.data()),
                                          secret.size()),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_INFO, const_cast<std::uint8_t*>(ephemeralPublicKey.data()),
                                          ephemeralPublicKey.size()),
        OSSL_PARAM_construct_end(),
    };
    Bytes key(kAesKeySize, 0);
    if (EVP_KDF_derive(ctx.get(), key.data(), key.size(), params) != 1) return std::nullopt;
    return key;
}

// A cipher context for AES-128-GCM with a 16-byte zero IV.
CipherCtx gcm(const Bytes& key, bool encrypting) {
    CipherCtx ctx(EVP_CIPHER_CTX_new());
    static const std::uint8_t iv[kIvSize] = {};
    if (!ctx || EVP_CipherInit_ex(ctx.get(), EVP_aes_128_gcm(), nullptr, nullptr, nullptr, encrypting) != 1 ||
        EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_IVLEN, static_cast<int>(kIvSize), nullptr) != 1 ||
        EVP_CipherInit_ex(ctx.get(), nullptr, nullptr, key.data(), iv, encrypting) != 1)
        return nullptr;
    return ctx;
}

}  // namespace

Outcome encrypt(const Bytes& plaintext, const SecKey& publicKey) {
    auto ephemeral = SecKey::generateP256();
    if (!ephemeral) return std::string("The ephemeral key could not be generated.");
    auto ephemeralPoint = ephemeral->publicPoint();
    if (!ephemeralPoint || ephemeralPoint->size() != kEphemeralKeySize)
        return std::string("The ephemeral key could not be exported.");
    auto secret = sharedSecret(*ephemeral, publicKey);
    if (!secret) return std::string("The key agreement failed.");
    auto key = deriveKey(*secret, *ephemeralPoint);
    if (!key) return std::string("The key derivation failed.");
    auto ctx = gcm(*key, true);
    if (!ctx) return std::string("The cipher could not be set up.");

    Bytes out(*ephemeralPoint);
    out.resize(kEphemeralKeySize + plaintext.size() + kTagSize, 0);
    int moved = 0;
    int tail = 0;
    if ((!plaintext.empty() && EVP_EncryptUpdate(ctx.get(), out.data() + kEphemeralKeySize, &moved, plaintext.data(),
                                                 static_cast<int>(plaintext.size())) != 1) ||
        EVP_EncryptFinal_ex(ctx.get(), out.data() + kEphemeralKeySize + moved, &tail) != 1 ||
        static_cast<std::size_t>(moved + tail) != plaintext.size() ||
        EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_GET_TAG, static_cast<int>(kTagSize),
                            out.data() + kEphemeralKeySize + plaintext.size()) != 1)
        return std::string("The encryption failed.");
    return out;
}

Outcome decrypt(const Bytes& message, const SecKey& privateKey) {
    if (message.size() < kEphemeralKeySize + kTagSize) return std::string("The data is too short to be decrypted.");
    Bytes ephemeralPoint(message.begin(), message.begin() + kEphemeralKeySize);
    auto ephemeral = SecKey::publicKeyFromData(ephemeralPoint);
    if (!ephemeral) return std::string("The data does not begin with a valid public key.");
    auto secret = sharedSecret(privateKey, *ephemeral);
    if (!secret) return std::string("The key agreement failed.");
    auto key = deriveKey(*secret, ephemeralPoint);
    if (!key) return std::string("The key derivation failed.");
    auto ctx = gcm(*key, false);
    if (!ctx) return std::string("The cipher could not be set up.");

    std::size_t length = message.size() - kEphemeralKeySize - kTagSize;
    const std::uint8_t* ciphertext = message.data() + kEphemeralKeySize;
    Bytes tag(ciphertext + length, ciphertext + length + kTagSize);
    Bytes plaintext(length, 0);
    int moved = 0;
    int tail = 0;
    if ((length > 0 &&
         EVP_DecryptUpdate(ctx.get(), plaintext.data(), &moved, ciphertext, static_cast<int>(length)) != 1) ||
        EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_TAG, static_cast<int>(kTagSize), tag.data()) != 1)
        return std::string("The decryption failed.");
    if (EVP_DecryptFinal_ex(ctx.get(), plaintext.data() + moved, &tail) != 1)
        return std::string("The data could not be authenticated.");
    return plaintext;
}

}  // namespace svsdk::ecies
