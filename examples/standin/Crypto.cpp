#include "Crypto.h"

#include <cctype>
#include <memory>
#include <stdexcept>

#include <openssl/crypto.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>
#include <openssl/x509.h>

namespace standin {
namespace {

struct PkeyFree {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct MdCtxFree {
    void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};
struct CipherCtxFree {
    void operator()(EVP_CIPHER_CTX* context) const { EVP_CIPHER_CTX_free(context); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;

[[noreturn]] void fail(const char* what) { throw std::runtime_error(what); }

int digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

Bytes derivedKey(const std::string& userID, const std::string& password) {
    Bytes key(32);
    if (PKCS5_PBKDF2_HMAC(password.data(), static_cast<int>(password.size()),
                          reinterpret_cast<const unsigned char*>(userID.data()), static_cast<int>(userID.size()), 2000,
                          EVP_sha256(), static_cast<int>(key.size()), key.data()) != 1)
        fail("PBKDF2 failed");
    return key;
}

std::optional<Bytes> aes256ecb(const Bytes& key, const Bytes& data, bool encrypt) {
    if (data.size() % 16 != 0) return std::nullopt;
    std::unique_ptr<EVP_CIPHER_CTX, CipherCtxFree> context(EVP_CIPHER_CTX_new());
    if (!context ||
        EVP_CipherInit_ex(context.get(), EVP_aes_256_ecb(), nullptr, key.data(), nullptr, encrypt ? 1 : 0) != 1)
        return std::nullopt;
    EVP_CIPHER_CTX_set_padding(context.get(), 0);
    Bytes out(data.size() + 16);
    int written = 0, final = 0;
    if (EVP_CipherUpdate(context.get(), out.data(), &written, data.data(), static_cast<int>(data.size())) != 1 ||
        EVP_CipherFinal_ex(context.get(), out.data() + written, &final) != 1)
        return std::nullopt;
    out.resize(static_cast<std::size_t>(written + final));
    return out;
}

Pkey publicKeyFromSpki(std::string_view spkiHex) {
    auto der = fromHex(spkiHex);
    if (!der || der->empty()) return nullptr;
    const unsigned char* cursor = der->data();
    Pkey key(d2i_PUBKEY(nullptr, &cursor, static_cast<long>(der->size())));
    if (!key || cursor != der->data() + der->size()) return nullptr;
    char group[64] = {};
    std::size_t length = 0;
    if (EVP_PKEY_get_base_id(key.get()) != EVP_PKEY_EC ||
        EVP_PKEY_get_utf8_string_param(key.get(), "group", group, sizeof group, &length) != 1 ||
        std::string_view(group, length) != "prime256v1")
        return nullptr;
    return key;
}

}  // namespace

Bytes bytesOf(std::string_view text) { return Bytes(text.begin(), text.end()); }

std::string hex(const Bytes& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (auto byte : bytes) {
        out.push_back(digits[byte >> 4]);
        out.push_back(digits[byte & 15]);
    }
    return out;
}

std::optional<Bytes> fromHex(std::string_view text) {
    if (text.size() % 2 != 0) return std::nullopt;
    Bytes out(text.size() / 2);
    for (std::size_t i = 0; i < out.size(); ++i) {
        int high = digit(text[2 * i]), low = digit(text[2 * i + 1]);
        if (high < 0 || low < 0) return std::nullopt;
        out[i] = static_cast<std::uint8_t>(high * 16 + low);
    }
    return out;
}

std::string base64(const Bytes& bytes) {
    std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    int written =
        EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()), bytes.data(), static_cast<int>(bytes.size()));
    out.resize(static_cast<std::size_t>(written));
    return out;
}

std::optional<Bytes> fromBase64(std::string_view text) {
    if (text.size() % 4 != 0) return std::nullopt;
    for (char c : text)
        if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '+' || c == '/' || c == '=')) return std::nullopt;
    Bytes out(text.size() / 4 * 3 + 1);
    int written =
        EVP_DecodeBlock(out.data(), reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size()));
    if (written < 0) return std::nullopt;
    std::size_t padding = 0;
    if (!text.empty() && text.back() == '=') ++padding;
    if (text.size() > 1 && text[text.size() - 2] == '=') ++padding;
    out.resize(static_cast<std::size_t>(written) - padding);
    return out;
}

Bytes randomBytes(std::size_t count) {
    Bytes out(count);
    if (count && RAND_bytes(out.data(), static_cast<int>(count)) != 1) fail("no random bytes");
    return out;
}

Bytes sha256(const Bytes& data) {
    Bytes out(32);
    unsigned int length = 0;
    if (EVP_Digest(data.data(), data.size(), out.data(), &length, EVP_sha256(), nullptr) != 1) fail("SHA-256 failed");
    return out;
}

Bytes hmacSha256(const Bytes& key, const Bytes& data) {
    Bytes out(32);
    unsigned int length = 0;
    static const unsigned char none = 0;
    if (!HMAC(EVP_sha256(), key.empty() ? &none : key.data(), static_cast<int>(key.size()), data.data(), data.size(),
              out.data(), &length))
        fail("HMAC failed");
    return out;
}

bool sameHex(std::string_view received, const Bytes& expected) {
    auto bytes = fromHex(received);
    return bytes && bytes->size() == expected.size() &&
           CRYPTO_memcmp(bytes->data(), expected.data(), expected.size()) == 0;
}

Bytes protectKeys(const Bytes& plain, const std::string& userID, const std::string& password) {
    Bytes key = derivedKey(userID, password);
    auto cipher = aes256ecb(key, plain, true);
    if (!cipher) fail("AES failed");
    Bytes mac = hmacSha256(key, plain);
    cipher->insert(cipher->end(), mac.begin(), mac.end());
    return *cipher;
}

std::optional<Bytes> unprotectKeys(const Bytes& blob, const std::string& userID, const std::string& password) {
    if (blob.size() < 32) return std::nullopt;
    Bytes key = derivedKey(userID, password);
    Bytes cipher(blob.begin(), blob.end() - 32), reference(blob.end() - 32, blob.end());
    auto plain = aes256ecb(key, cipher, false);
    if (!plain) return std::nullopt;
    Bytes mac = hmacSha256(key, *plain);
    if (CRYPTO_memcmp(mac.data(), reference.data(), 32) != 0) return std::nullopt;
    return plain;
}

void appendItem(Bytes& block, std::uint8_t tag, const Bytes& value) {
    block.push_back(tag);
    auto length = static_cast<std::uint32_t>(value.size());
    for (int shift = 24; shift >= 0; shift -= 8) block.push_back(static_cast<std::uint8_t>(length >> shift));
    block.insert(block.end(), value.begin(), value.end());
}

void appendItem(Bytes& block, std::uint8_t tag, std::string_view value) { appendItem(block, tag, bytesOf(value)); }

void appendTime(Bytes& block, std::uint64_t step) {
    Bytes value;
    for (int shift = 56; shift >= 0; shift -= 8) value.push_back(static_cast<std::uint8_t>(step >> shift));
    if (step != 0)
        while (value.front() == 0) value.erase(value.begin());
    appendItem(block, 20, value);
}

bool isP256PublicKey(std::string_view spkiHex) { return publicKeyFromSpki(spkiHex) != nullptr; }

bool verifySignature(std::string_view spkiHex, const Bytes& message, std::string_view signatureHex) {
    Pkey key = publicKeyFromSpki(spkiHex);
    auto signature = fromHex(signatureHex);
    if (!key || !signature || signature->empty()) return false;
    std::unique_ptr<EVP_MD_CTX, MdCtxFree> context(EVP_MD_CTX_new());
    if (!context || EVP_DigestVerifyInit(context.get(), nullptr, EVP_sha256(), nullptr, key.get()) != 1) return false;
    return EVP_DigestVerify(context.get(), signature->data(), signature->size(), message.data(), message.size()) == 1;
}

}  // namespace standin
