#pragma once
// An elliptic-curve key (the SDK's keys are NIST P-256) held as an OpenSSL
// key object. Copies share the object; it is freed with the last copy. Copies
// may be used and dropped on different threads (the count of copies is our
// own, so a race detector sees it too).
#include <memory>
#include <optional>
#include <string>

#include <openssl/types.h>

#include <svsdk/SVBytes.h>

namespace svsdk {

class SecKey {
public:
    SecKey() = default;
    // Takes ownership of `key`, which must be an EC key (or null).
    explicit SecKey(EVP_PKEY* key);

    // A new random P-256 key pair (as its private key).
    static std::optional<SecKey> generateP256();
    // A P-256 public key from its uncompressed point (0x04, X, Y: 65 bytes).
    static std::optional<SecKey> publicKeyFromData(const Bytes& point);
    // A P-256 private key from its external representation: the uncompressed
    // public point followed by the 32-byte private scalar (97 bytes). The point
    // must belong to the scalar.
    static std::optional<SecKey> privateKeyFromData(const Bytes& data);

    explicit operator bool() const noexcept { return key_ != nullptr; }
    EVP_PKEY* get() const noexcept { return key_.get(); }
    bool isPrivate() const;
    bool isP256() const;

    // The public half as a key of its own (on the same curve).
    std::optional<SecKey> copyPublicKey() const;
    // The uncompressed public point (0x04, X, Y).
    std::optional<Bytes> publicPoint() const;
    // Public keys: the public point. Private keys: the public point followed
    // by the private scalar, padded to the curve size.
    std::optional<Bytes> externalRepresentation() const;

    // The public key as the lowercase hex text of its DER SubjectPublicKeyInfo
    // (182 characters for P-256). Never fails: a key whose point is not of a
    // known size gives the bare hex of the point, one without a point "".
    std::string spkiHexString() const;

    // ECDSA with SHA-256 over `message`, as an X9.62 DER signature. Needs a
    // private key.
    std::optional<Bytes> sign(const Bytes& message) const;
    // Checks an X9.62 DER ECDSA/SHA-256 signature with the key's public half.
    bool verify(const Bytes& message, const Bytes& signature) const;

private:
    std::shared_ptr<EVP_PKEY> key_;
};

}  // namespace svsdk
