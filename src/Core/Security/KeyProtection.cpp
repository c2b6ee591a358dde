// Protection of a user's keys with a password: the key-encryption key and
// the blob of ciphertext followed by the MAC of the plaintext. Lines that
// show key material, or a blob and its MAC (enough to test passwords against),
// are secret lines: written only with both `debug` and `keys`.
#include <openssl/crypto.h>

#include <svsdk/SVError.h>
#include <svsdk/SVUser.h>

#include "Core/Diagnostics/Logger.h"
#include "Core/Security/Cryptor.h"
#include "Core/Utilities/Encoding.h"

namespace svsdk {

namespace {

constexpr std::uint32_t kekRounds = 2000;
constexpr std::size_t kekLength = 32;
constexpr std::size_t macLength = 32;

void log(std::string_view message) { Logger::log(SVLogCategory::security, message); }

template <class F>
void logLazily(F&& build) {
    Logger::log(SVLogCategory::security, std::forward<F>(build));
}

}  // namespace

Bytes Cryptor::generateKEK(const std::string& userID, const std::string& password) {
    log("Generating KEK");
    auto kek = pbkdf2(bytesOf(password), bytesOf(userID), kekRounds, kekLength);
    if (!kek) throw SVError::internalError();
    Logger::secret([&] { return "KEK: " + base64Encode(*kek); });
    return std::move(*kek);
}

Bytes Cryptor::encrypt(const Bytes& data, const std::string& userID, const std::string& password) {
    log("Encrypting the data");
    logLazily([&] { return "UserID: " + userID; });
    Logger::secret([&] { return "Password: " + password; });
    Bytes kek = generateKEK(userID, password);
    auto c = crypt(Operation::encrypt, kek, data);
    auto h = hmac(kek, data);
    if (!c || !h) {
        Logger::error(SVLogCategory::security, "Could not encrypt the data");
        throw SVError::internalError();
    }
    // A blob with its MAC lets a reader of the log test passwords offline.
    Logger::secret([&] { return "Encrypted data: " + base64Encode(*c); });
    Logger::secret([&] { return "Generated HMAC: " + base64Encode(*h); });
    c->insert(c->end(), h->begin(), h->end());
    return std::move(*c);
}

Bytes Cryptor::decryptCombined(const Bytes& data, const Bytes& kek) {
    log("Decrypting the combined data");
    logLazily([&] { return "Data size: " + std::to_string(data.size()); });
    Logger::secret([&] { return "Data: " + base64Encode(data); });
    if (data.size() < macLength) throw SVError::internalError();
    const auto split = data.end() - static_cast<std::ptrdiff_t>(macLength);
    Bytes c(data.begin(), split);
    Bytes reference(split, data.end());
    Logger::secret([&] { return "Encrypted keys: " + base64Encode(c); });
    Logger::secret([&] { return "Reference HMAC: " + base64Encode(reference); });
    auto p = crypt(Operation::decrypt, kek, c);
    if (!p) throw SVError::internalError();
    auto m = hmac(kek, *p);
    if (!m) throw SVError::internalError();
    Logger::secret([&] { return "HMAC: " + base64Encode(*m); });
    if (m->size() != reference.size() || CRYPTO_memcmp(m->data(), reference.data(), reference.size()) != 0)
        throw SVError::invalidPassword();
    return std::move(*p);
}

Bytes Cryptor::decrypt(const Bytes& data, const std::string& userID, const std::string& password) {
    log("Decrypting the data");
    Logger::secret([&] { return "Encrypted data: " + base64Encode(data); });
    logLazily([&] { return "UserID: " + userID; });
    Logger::secret([&] { return "Password: " + password; });
    Bytes kek = generateKEK(userID, password);
    Bytes plaintext = decryptCombined(data, kek);
    Logger::secret([&] { return "Decrypted data: " + hexString(plaintext); });
    return plaintext;
}

UserKeys Cryptor::splitKeys(const Bytes& content) {
    const std::size_t half = content.size() / 2;
    const auto h = static_cast<std::ptrdiff_t>(half);
    return UserKeys{Bytes(content.end() - h, content.end()), Bytes(content.begin(), content.begin() + h)};
}

UserKeys Cryptor::decryptKeys(const Bytes& of, const std::string& userID, const std::string& password) {
    return splitKeys(decrypt(of, userID, password));
}

UserKeys Cryptor::activateRenewed(const SVUser& user, const std::string& password) {
    Logger::log(SVLogCategory::users, "Activating the renewed user's data");
    const auto* encrypted = user.keysContent().get<UserKeysContent::ImportedEncrypted>();
    if (!encrypted) throw SVError::internalError();
    return decryptKeys(encrypted->content, user.userID(), password);
}

}  // namespace svsdk
