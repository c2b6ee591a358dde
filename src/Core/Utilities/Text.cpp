#include "Core/Utilities/Text.h"

#include <unicode/uchar.h>
#include <unicode/utf8.h>

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

}  // namespace svsdk
