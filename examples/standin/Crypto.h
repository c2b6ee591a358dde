#pragma once
// The stand-in server's own cryptography, straight on OpenSSL: it recomputes
// what a client sends (codes, signing headers, signatures) without any SDK
// code on the checking path.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace standin {

using Bytes = std::vector<std::uint8_t>;

Bytes bytesOf(std::string_view text);
std::string hex(const Bytes& bytes);
// Lowercase or uppercase hex digits, an even count; nothing otherwise.
std::optional<Bytes> fromHex(std::string_view text);
std::string base64(const Bytes& bytes);
// Standard alphabet with padding, no line breaks; nothing otherwise.
std::optional<Bytes> fromBase64(std::string_view text);

Bytes randomBytes(std::size_t count);
Bytes sha256(const Bytes& data);
Bytes hmacSha256(const Bytes& key, const Bytes& data);
// Constant-time comparison of a received hex text with the expected bytes.
bool sameHex(std::string_view received, const Bytes& expected);

// The protected key blob: AES-256-ECB (no padding) of `plain` under the
// password-derived key, then HMAC-SHA256 of `plain` under the same key. The
// key is PBKDF2-HMAC-SHA256 of the password with the user ID as salt, 2000
// rounds, 32 bytes. `plain` must be a whole number of 16-byte blocks.
Bytes protectKeys(const Bytes& plain, const std::string& userID, const std::string& password);
// The reverse; nothing when the blob is malformed or the check fails.
std::optional<Bytes> unprotectKeys(const Bytes& blob, const std::string& userID, const std::string& password);

// Tag-length-value: tag byte, 4-byte big-endian length, value.
void appendItem(Bytes& block, std::uint8_t tag, const Bytes& value);
void appendItem(Bytes& block, std::uint8_t tag, std::string_view value);
// Item 20: the step number in its shortest big-endian form (eight zero bytes
// for 0).
void appendTime(Bytes& block, std::uint64_t step);

// A P-256 public key from the hex of its DER SubjectPublicKeyInfo; checks
// that the text is such a key.
bool isP256PublicKey(std::string_view spkiHex);
// ECDSA-SHA256 verification of an X9.62 DER signature (hex) over `message`
// with the key given as SubjectPublicKeyInfo hex.
bool verifySignature(std::string_view spkiHex, const Bytes& message, std::string_view signatureHex);

}  // namespace standin
