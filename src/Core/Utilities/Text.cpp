#include "Core/Utilities/Text.h"

#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>

namespace svsdk {

namespace {

bool isWhitespaceOrNewline(UChar32 c) {
    if (c < 0) return false;
    if ((c >= 0x09 && c <= 0x0D) || c == 0x85) return true;
    auto category = u_charType(c);
    return category == U_SPACE_SEPARATOR || category == U_LINE_SEPARATOR || category == U_PARAGRAPH_SEPARATOR;
}

}  // namespace

std::string trimmingWhitespaceAndNewlines(std::string_view text) {
    const auto* s = reinterpret_cast<const std::uint8_t*>(text.data());
    const auto length = static_cast<std::int32_t>(text.size() > INT32_MAX ? INT32_MAX : text.size());
    if (static_cast<std::size_t>(length) != text.size()) return std::string(text);  // too long to scan; kept whole

    std::int32_t start = 0;
    while (start < length) {
        std::int32_t next = start;
        UChar32 c;
        U8_NEXT(s, next, length, c);
        if (!isWhitespaceOrNewline(c)) break;
        start = next;
    }
    std::int32_t end = length;
    while (end > start) {
        std::int32_t previous = end;
        UChar32 c;
        U8_PREV(s, start, previous, c);
        if (!isWhitespaceOrNewline(c)) break;
        end = previous;
    }
    return std::string(text.substr(static_cast<std::size_t>(start), static_cast<std::size_t>(end - start)));
}

std::optional<std::int64_t> decimalInteger(std::string_view text) {
    bool negative = false;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    if (text.empty()) return std::nullopt;
    for (char c : text)
        if (c < '0' || c > '9') return std::nullopt;
    // Read as the magnitude, so that -9223372036854775808 fits.
    std::uint64_t magnitude = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), magnitude);
    if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    if (negative) {
        if (magnitude > static_cast<std::uint64_t>(INT64_MAX) + 1) return std::nullopt;
        return static_cast<std::int64_t>(0 - magnitude);
    }
    if (magnitude > static_cast<std::uint64_t>(INT64_MAX)) return std::nullopt;
    return static_cast<std::int64_t>(magnitude);
}

bool isValidUTF8(std::string_view text) {
    const auto* s = reinterpret_cast<const std::uint8_t*>(text.data());
    std::size_t i = 0;
    while (i < text.size()) {
        if (s[i] < 0x80) {
            ++i;
            continue;
        }
        // Each chunk below 2 GiB is checked with ICU's decoder.
        const auto length = static_cast<std::int32_t>(std::min<std::size_t>(text.size() - i, 1u << 30));
        std::int32_t at = 0;
        UChar32 c;
        U8_NEXT(s + i, at, length, c);
        if (c < 0) return false;
        i += static_cast<std::size_t>(at);
    }
    return true;
}

std::string replacingInvalidUTF8(std::string_view text) {
    std::string result;
    result.reserve(text.size());
    const auto* s = reinterpret_cast<const std::uint8_t*>(text.data());
    std::size_t i = 0;
    while (i < text.size()) {
        if (s[i] < 0x80) {
            result.push_back(static_cast<char>(s[i++]));
            continue;
        }
        const auto length = static_cast<std::int32_t>(std::min<std::size_t>(text.size() - i, 1u << 30));
        std::int32_t at = 0;
        UChar32 c;
        U8_NEXT(s + i, at, length, c);
        if (c < 0) result += "\xEF\xBF\xBD";
        else result.append(text.substr(i, static_cast<std::size_t>(at)));
        i += static_cast<std::size_t>(at);
    }
    return result;
}

std::string validUTF8(std::string_view text) {
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
    std::string result;
    std::size_t copied = 0;  // bytes of `text` already in `result`
    std::size_t position = 0;
    while (position < text.size()) {
        if (bytes[position] < 0x80) {
            ++position;
            continue;
        }
        // A sequence is at most four bytes, so a window of four decides it.
        const auto window = static_cast<std::int32_t>(std::min<std::size_t>(4, text.size() - position));
        std::int32_t next = 0;
        UChar32 c;
        U8_NEXT(bytes + position, next, window, c);
        if (c < 0) {
            result.append(text, copied, position - copied);
            result += "\xEF\xBF\xBD";
            copied = position + static_cast<std::size_t>(next);
        }
        position += static_cast<std::size_t>(next);
    }
    if (copied == 0) return std::string(text);
    result.append(text, copied, std::string_view::npos);
    return result;
}

std::string decimalText(double value) {
    if (std::isnan(value)) return "nan";
    if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
    if (value == 0) return std::signbit(value) ? "-0.0" : "0.0";
    char buffer[64];
    const double magnitude = std::fabs(value);
    if (magnitude < 1e-4 || magnitude >= 9007199254740992.0) {
        auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
        return std::string(buffer, result.ptr);
    }
    auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed);
    std::string text(buffer, result.ptr);
    if (text.find('.') == std::string::npos) text += ".0";
    return text;
}

std::optional<std::int64_t> parseInteger(std::string_view text) {
    std::string_view digits = text;
    if (!digits.empty() && (digits.front() == '+' || digits.front() == '-')) digits.remove_prefix(1);
    if (digits.empty()) return std::nullopt;
    for (char c : digits)
        if (c < '0' || c > '9') return std::nullopt;
    // from_chars takes a "-" but not a "+".
    std::string_view number = text.front() == '+' ? digits : text;
    std::int64_t value = 0;
    auto [end, error] = std::from_chars(number.data(), number.data() + number.size(), value);
    if (error != std::errc() || end != number.data() + number.size()) return std::nullopt;
    return value;
}

}  // namespace svsdk
