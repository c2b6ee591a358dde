#pragma once
// Stateless cryptographic primitives over byte strings. A failure is an
// absent result; callers decide which error it becomes.
#include <cstdint>
#include <optional>

#include <svsdk/SVBytes.h>

namespace svsdk {

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
};

}  // namespace svsdk
