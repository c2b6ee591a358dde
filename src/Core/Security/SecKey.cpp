#include "Core/Security/SecKey.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/obj_mac.h>
#include <openssl/param_build.h>

#include "Core/Diagnostics/Logger.h"
#include "Core/Security/OpenSSLPointers.h"
#include "Core/Utilities/Encoding.h"

namespace svsdk {
namespace {

constexpr std::size_t kPointSize = 65;
constexpr std::size_t kScalarSize = 32;

using namespace openssl;

// An EC key from its parameters (the point, and the scalar for a private key).
std::optional<SecKey> fromParameters(const Bytes& point, const BIGNUM* scalar,
                                     const char* group = SN_X9_62_prime256v1) {
    ParamBuilder builder(OSSL_PARAM_BLD_new());
    if (!builder || !OSSL_PARAM_BLD_push_utf8_string(builder.get(), OSSL_PKEY_PARAM_GROUP_NAME, group, 0) ||
        !OSSL_PARAM_BLD_push_octet_string(builder.get(), OSSL_PKEY_PARAM_PUB_KEY, point.data(), point.size()) ||
        (scalar && !OSSL_PARAM_BLD_push_BN(builder.get(), OSSL_PKEY_PARAM_PRIV_KEY, scalar)))
        return std::nullopt;
    Params params(OSSL_PARAM_BLD_to_param(builder.get()));
    PkeyCtx ctx(EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr));
    EVP_PKEY* key = nullptr;
    if (!params || !ctx || EVP_PKEY_fromdata_init(ctx.get()) != 1 ||
        EVP_PKEY_fromdata(ctx.get(), &key, scalar ? EVP_PKEY_KEYPAIR : EVP_PKEY_PUBLIC_KEY, params.get()) != 1)
        return std::nullopt;
    SecKey result(key);
    // The point must lie on the curve.
    PkeyCtx check(EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr));
    if (!check || EVP_PKEY_public_check(check.get()) != 1) return std::nullopt;
    return result;
}

}  // namespace

SecKey::SecKey(EVP_PKEY* key) {
    if (key) key_.reset(key, EVP_PKEY_free);
}

std::optional<SecKey> SecKey::generateP256() {
    EVP_PKEY* key = EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", SN_X9_62_prime256v1);
    if (!key) return std::nullopt;
    return SecKey(key);
}

std::optional<SecKey> SecKey::publicKeyFromData(const Bytes& point) {
    if (point.size() != kPointSize || point[0] != 0x04) return std::nullopt;
    return fromParameters(point, nullptr);
}

std::optional<SecKey> SecKey::privateKeyFromData(const Bytes& data) {
    if (data.size() != kPointSize + kScalarSize || data[0] != 0x04) return std::nullopt;
    Bytes point(data.begin(), data.begin() + kPointSize);
    // A secure number: the parameters made from it then hold the scalar in
    // memory that is cleared when they are freed.
    Bignum scalar(BN_secure_new());
    Group group(EC_GROUP_new_by_curve_name(NID_X9_62_prime256v1));
    if (!scalar || !group || !BN_bin2bn(data.data() + kPointSize, static_cast<int>(kScalarSize), scalar.get()))
        return std::nullopt;
    // 0 < scalar < order, and the given point is scalar * G.
    if (BN_is_zero(scalar.get()) || BN_cmp(scalar.get(), EC_GROUP_get0_order(group.get())) >= 0) return std::nullopt;
    Point derived(EC_POINT_new(group.get()));
    Bytes derivedPoint(kPointSize, 0);
    if (!derived || EC_POINT_mul(group.get(), derived.get(), scalar.get(), nullptr, nullptr, nullptr) != 1 ||
        EC_POINT_point2oct(group.get(), derived.get(), POINT_CONVERSION_UNCOMPRESSED, derivedPoint.data(),
                           derivedPoint.size(), nullptr) != kPointSize ||
        derivedPoint != point)
        return std::nullopt;
    return fromParameters(point, scalar.get());
}

bool SecKey::isPrivate() const {
    if (!key_) return false;
    BIGNUM* scalar = nullptr;
    if (EVP_PKEY_get_bn_param(get(), OSSL_PKEY_PARAM_PRIV_KEY, &scalar) != 1) return false;
    BN_clear_free(scalar);
    return true;
}

bool SecKey::isP256() const {
    if (!key_ || EVP_PKEY_get_base_id(get()) != EVP_PKEY_EC) return false;
    char name[64] = {};
    if (EVP_PKEY_get_utf8_string_param(get(), OSSL_PKEY_PARAM_GROUP_NAME, name, sizeof name, nullptr) != 1)
        return false;
    return OBJ_sn2nid(name) == NID_X9_62_prime256v1;
}

std::optional<SecKey> SecKey::copyPublicKey() const {
    auto point = publicPoint();
    char group[64] = {};
    if (!point ||
        EVP_PKEY_get_utf8_string_param(get(), OSSL_PKEY_PARAM_GROUP_NAME, group, sizeof group, nullptr) != 1)
        return std::nullopt;
    return fromParameters(*point, nullptr, group);
}

std::optional<Bytes> SecKey::publicPoint() const {
    if (!key_) return std::nullopt;
    // Keys keep the uncompressed form they were made or read with.
    std::size_t length = 0;
    if (EVP_PKEY_get_octet_string_param(get(), OSSL_PKEY_PARAM_PUB_KEY, nullptr, 0, &length) != 1 || length == 0)
        return std::nullopt;
    Bytes point(length, 0);
    if (EVP_PKEY_get_octet_string_param(get(), OSSL_PKEY_PARAM_PUB_KEY, point.data(), point.size(), &length) != 1)
        return std::nullopt;
    point.resize(length);
    if (point[0] != 0x04) return std::nullopt;
    return point;
}

std::optional<Bytes> SecKey::externalRepresentation() const {
    auto point = publicPoint();
    if (!point) return std::nullopt;
    BIGNUM* raw = nullptr;
    if (EVP_PKEY_get_bn_param(get(), OSSL_PKEY_PARAM_PRIV_KEY, &raw) != 1) return point;
    Bignum scalar(raw);
    int size = (EVP_PKEY_get_bits(get()) + 7) / 8;
    Bytes out(*point);
    out.resize(point->size() + static_cast<std::size_t>(size), 0);
    if (size <= 0 || BN_bn2binpad(scalar.get(), out.data() + point->size(), size) != size) return std::nullopt;
    return out;
}

std::string SecKey::spkiHexString() const {
    Bytes raw;
    if (auto point = publicPoint()) {
        raw = std::move(*point);
    } else {
        Logger::error(SVLogCategory::security,
                      "Could not get the key's external representation. Error: the key has no public point");
    }
    std::string hex = hexString(raw);
    if (hex.size() == 130) return "3059301306072a8648ce3d020106082a8648ce3d030107034200" + hex;
    if (hex.size() == 98) return "3049301306072a8648ce3d020106082a8648ce3d030101033200" + hex;
    Logger::error(SVLogCategory::security, "Could not get the SPKI. Wrong size of the key");
    return hex;
}

std::optional<Bytes> SecKey::sign(const Bytes& message) const {
    const int size = key_ ? EVP_PKEY_get_size(get()) : 0;
    if (size <= 0) return std::nullopt;
    MdCtx ctx(EVP_MD_CTX_new());
    Bytes signature(static_cast<std::size_t>(size), 0);
    std::size_t length = signature.size();
    if (!ctx || EVP_DigestSignInit(ctx.get(), nullptr, openssl::sha256(), nullptr, get()) != 1 ||
        EVP_DigestSign(ctx.get(), signature.data(), &length, message.data(), message.size()) != 1) {
        // A key without its private half gives no signature and no library error.
        if (!isPrivate()) ERR_clear_error();
        return std::nullopt;
    }
    signature.resize(length);
    return signature;
}

bool SecKey::verify(const Bytes& message, const Bytes& signature) const {
    if (!key_ || signature.empty()) return false;
    MdCtx ctx(EVP_MD_CTX_new());
    return ctx && EVP_DigestVerifyInit(ctx.get(), nullptr, openssl::sha256(), nullptr, get()) == 1 &&
           EVP_DigestVerify(ctx.get(), signature.data(), signature.size(), message.data(), message.size()) == 1;
}

}  // namespace svsdk
