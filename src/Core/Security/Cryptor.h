#pragma once
// Stateless cryptographic primitives over byte strings. A failure is an
// absent result; callers decide which error it becomes.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <svsdk/SVBytes.h>

namespace svsdk {

class SVUser;

// A user's decrypted key content split in its two halves: kHMAC keys the
// confirmation and decline codes, kAuth the authentication codes and the
// request signatures.
struct UserKeys {
    Bytes kAuth;
    Bytes kHMAC;
};

class Cryptor {
public:
    Cryptor() = delete;

    enum class Operation { encrypt, decrypt };

    // AES in ECB mode without padding. The key must be 32, 16 or 24 bytes;
    // the data a whole number of 16-byte blocks (empty is allowed).
    static std::optional<Bytes> crypt(Operation operation, const Bytes& key, const Bytes& data);
    // HMAC-SHA256; any key length, the empty key included. 32 bytes.
    static std::optional<Bytes> hmac(const Bytes& key, const Bytes& data);
    // PBKDF2 with HMAC-SHA256, `length` bytes.
    static std::optional<Bytes> pbkdf2(const Bytes& password, const Bytes& salt, std::uint32_t rounds,
                                       std::size_t length);
    // SHA-256, 32 bytes.
    static Bytes sha256(const Bytes& data);
    static Bytes sha256(const void* data, std::size_t length);

    // --- Key protection. Secret material is logged only with `debug` and
    // `keys` (category "Keys").

    // The key-encryption key: PBKDF2-HMAC-SHA256 of the password (UTF-8)
    // salted with the user ID (UTF-8), 2000 rounds, 32 bytes.
    // SVError::internalError when the derivation fails.
    static Bytes generateKEK(const std::string& userID, const std::string& password);
    // The protected blob: AES-256-ECB ciphertext of `data` under the KEK,
    // then HMAC-SHA256 under the KEK of the plaintext (32 bytes).
    // SVError::internalError when `data` is not a whole number of 16-byte blocks.
    static Bytes encrypt(const Bytes& data, const std::string& userID, const std::string& password);
    // The plaintext of a protected blob. SVError::internalError for a blob
    // shorter than 32 bytes or a ciphertext the cipher refuses;
    // SVError::invalidPassword when the MAC of the plaintext differs (a wrong
    // password or user ID). MACs are compared in constant time.
    static Bytes decryptCombined(const Bytes& data, const Bytes& kek);
    static Bytes decrypt(const Bytes& data, const std::string& userID, const std::string& password);
    // Decrypts protected key content and splits it (`splitKeys`).
    static UserKeys decryptKeys(const Bytes& of, const std::string& userID, const std::string& password);
    // The halves of key content: kHMAC the first len/2 bytes, kAuth the last
    // len/2 bytes (for an odd length the middle byte belongs to neither).
    static UserKeys splitKeys(const Bytes& content);
    // The keys of a renewed user whose key content is still encrypted (as
    // the server sent it); SVError::internalError for any other key content.
    static UserKeys activateRenewed(const SVUser& user, const std::string& password);

    // --- Codes: HMAC-SHA256 over a tag-length-value block, 32 bytes.

    static Bytes confirmationCode(const Bytes& tlv, const Bytes& hmacKey);
    static Bytes authenticationCode(const Bytes& tlv, const Bytes& authorizationKey);
    // The authentication code of the block 22 (systemID), 18 (userID),
    // `tag` with `value`, 20 (the discrete time of the user's
    // authorizationCodeTSI). `label` is logged before the `tag` item.
    static Bytes authenticationCode(std::uint8_t tag, std::string_view value, const SVUser& user,
                                    const Bytes& authorizationKey, std::string_view label);
    // Registration codes: the fingerprint (tag 19) and the public-key text (tag 33).
    static Bytes authenticationCodeForFingerprint(std::string_view fingerprint, const SVUser& user,
                                                  const Bytes& authorizationKey);
    static Bytes authenticationCodeForPublicKey(std::string_view publicKey, const SVUser& user,
                                                const Bytes& authorizationKey);

    // --- Short codes.

    // `length` decimal digits derived from a code: the code is cut into
    // k = max(2 * floor(length / 3), 1) chunks of floor(count / k) bytes (in
    // single precision), the first k chunks are XOR-folded to one byte each,
    // and the last `length` digits of that big-endian number are kept (no
    // zero padding). Absent when the number does not fit 64 bits, the code
    // is shorter than k bytes, or `length` is not positive.
    static std::optional<std::string> shortCode(const Bytes& from, std::int64_t length);
    // The short code a record shows for a transaction's code length: the
    // short code for 6 to 10 digits ("" when there is none), the full hex
    // code for 1 to 5 and 11 to 63, "" for 0 or less and 64 or more.
    static std::string shortCodeForLength(const Bytes& code, const std::string& codeHex, std::int64_t length);
};

}  // namespace svsdk
