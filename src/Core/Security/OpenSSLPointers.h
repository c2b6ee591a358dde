#pragma once
// Owning pointers for OpenSSL objects, each freed with its own function, and
// the SHA-256 digest fetched once for the process.
#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>
#include <openssl/param_build.h>

#include <memory>

namespace svsdk::openssl {

template <class T, void (*Free)(T*)>
struct Deleter {
    void operator()(T* p) const { Free(p); }
};

using PkeyCtx = std::unique_ptr<EVP_PKEY_CTX, Deleter<EVP_PKEY_CTX, EVP_PKEY_CTX_free>>;
using MdCtx = std::unique_ptr<EVP_MD_CTX, Deleter<EVP_MD_CTX, EVP_MD_CTX_free>>;
using CipherCtx = std::unique_ptr<EVP_CIPHER_CTX, Deleter<EVP_CIPHER_CTX, EVP_CIPHER_CTX_free>>;
using Kdf = std::unique_ptr<EVP_KDF, Deleter<EVP_KDF, EVP_KDF_free>>;
using KdfCtx = std::unique_ptr<EVP_KDF_CTX, Deleter<EVP_KDF_CTX, EVP_KDF_CTX_free>>;
// Cleared before it is freed: it may hold a private scalar.
using Bignum = std::unique_ptr<BIGNUM, Deleter<BIGNUM, BN_clear_free>>;
using Group = std::unique_ptr<EC_GROUP, Deleter<EC_GROUP, EC_GROUP_free>>;
using Point = std::unique_ptr<EC_POINT, Deleter<EC_POINT, EC_POINT_free>>;
using ParamBuilder = std::unique_ptr<OSSL_PARAM_BLD, Deleter<OSSL_PARAM_BLD, OSSL_PARAM_BLD_free>>;
using Params = std::unique_ptr<OSSL_PARAM, Deleter<OSSL_PARAM, OSSL_PARAM_free>>;
using MacCtx = std::unique_ptr<EVP_MAC_CTX, Deleter<EVP_MAC_CTX, EVP_MAC_CTX_free>>;

// SHA-256 from the default provider. Looking an algorithm up by name costs
// more than hashing a short block, so it is fetched once (thread-safely, on
// first use) and kept until the process ends. Null only when the library
// cannot provide it at all.
inline const EVP_MD* sha256() {
    static EVP_MD* const digest = EVP_MD_fetch(nullptr, "SHA256", nullptr);
    return digest;
}

}  // namespace svsdk::openssl
