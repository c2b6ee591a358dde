#pragma once
// ECIES on P-256 with cofactor Diffie-Hellman, the ANSI X9.63 key derivation
// with SHA-256 and AES-GCM. A message is the sender's ephemeral public key
// (uncompressed, 65 bytes), the AES-GCM ciphertext (as long as the plaintext)
// and the 16-byte tag. The shared secret is the x-coordinate of the ECDH
// point; the AES-128 key is the first 16 bytes of the X9.63 KDF of that
// secret with the ephemeral public key as shared information; the IV is 16
// zero bytes; there is no additional authenticated data.
#include <string>
#include <variant>

#include <svsdk/SVBytes.h>

#include "Core/Security/SecKey.h"

namespace svsdk::ecies {

inline constexpr std::size_t kEphemeralKeySize = 65;
inline constexpr std::size_t kTagSize = 16;

// The output, or the description of what went wrong.
using Outcome = std::variant<Bytes, std::string>;

// Needs a P-256 public key.
Outcome encrypt(const Bytes& plaintext, const SecKey& publicKey);
// Needs a P-256 private key.
Outcome decrypt(const Bytes& message, const SecKey& privateKey);

}  // namespace svsdk::ecies
