// The short decimal code shown beside a confirmation or decline code.
#include <algorithm>
#include <charconv>
#include <cmath>

#include "Core/Security/Cryptor.h"

namespace svsdk {

std::optional<std::string> Cryptor::shortCode(const Bytes& from, std::int64_t length) {
    if (length <= 0) return std::nullopt;
    // The chunk count and size are computed in single precision, as the
    // codes' other implementations do, so that every side cuts alike.
    const float k = std::max(2.0f * std::floor(static_cast<float>(length) / 3.0f), 1.0f);
    const float sizeValue = std::floor(static_cast<float>(from.size()) / k);
    if (!(sizeValue >= 1.0f)) return std::nullopt;
    const auto size = static_cast<std::size_t>(sizeValue);
    const std::size_t chunks = (from.size() + size - 1) / size;
    const std::size_t m = std::min(chunks, static_cast<std::size_t>(k));
    if (m == 0) return std::nullopt;
    // The folded bytes read as one big-endian number, which must fit 64 bits
    // (leading zero bytes do not count).
    std::uint64_t number = 0;
    for (std::size_t i = 0; i < m; ++i) {
        std::uint8_t folded = 0;
        const std::size_t end = std::min(from.size(), (i + 1) * size);
        for (std::size_t j = i * size; j < end; ++j) folded ^= from[j];
        if (number >> 56) return std::nullopt;
        number = (number << 8) | folded;
    }
    char digits[24];
    auto result = std::to_chars(digits, digits + sizeof digits, number);
    std::string_view text(digits, static_cast<std::size_t>(result.ptr - digits));
    if (static_cast<std::uint64_t>(length) < text.size()) text.remove_prefix(text.size() - static_cast<std::size_t>(length));
    return std::string(text);
}

std::string Cryptor::shortCodeForLength(const Bytes& code, const std::string& codeHex, std::int64_t length) {
    if (length >= 6 && length <= 10) return shortCode(code, length).value_or(std::string());
    if (length >= 1 && length <= 63) return codeHex;
    return std::string();
}

}  // namespace svsdk
