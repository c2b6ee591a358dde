#include <svsdk/SVUserOptions.h>

#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <cstdint>

#include "Core/Utilities/Graphemes.h"

namespace svsdk {
namespace {

struct Classes {
    bool lowercase = false;
    bool uppercase = false;
    bool digit = false;
};

// Read in place, so the password is not copied into a buffer that would have
// to be wiped. Ill-formed UTF-8 reads as U+FFFD, which belongs to no class.
Classes classesOf(std::string_view password) {
    const auto* text = reinterpret_cast<const std::uint8_t*>(password.data());
    const auto length = static_cast<std::int32_t>(password.size());
    Classes classes;
    for (std::int32_t i = 0; i < length;) {
        UChar32 c;
        U8_NEXT_OR_FFFD(text, i, length, c);
        switch (u_charType(c)) {
        case U_LOWERCASE_LETTER: classes.lowercase = true; break;
        case U_UPPERCASE_LETTER:
        case U_TITLECASE_LETTER: classes.uppercase = true; break;
        case U_DECIMAL_DIGIT_NUMBER: classes.digit = true; break;
        default: break;
        }
    }
    return classes;
}

}  // namespace

bool validate(SVPasswordPolicy policy, std::string_view password) {
    if (password.size() > static_cast<std::size_t>(INT32_MAX)) return false;  // beyond ICU's indexes
    std::size_t length = graphemeClusters(password).size();
    switch (policy) {
    case SVPasswordPolicy::optional:
    case SVPasswordPolicy::short_: return length > 5;
    case SVPasswordPolicy::longWithLetters:
    case SVPasswordPolicy::longWithLettersAndDigits: {
        if (length < 8) return false;
        Classes classes = classesOf(password);
        if (!classes.lowercase || !classes.uppercase) return false;
        return policy == SVPasswordPolicy::longWithLetters || classes.digit;
    }
    }
    return false;
}

}  // namespace svsdk
