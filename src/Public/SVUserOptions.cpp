#include <svsdk/SVUserOptions.h>

#include <unicode/brkiter.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>

#include <cstdint>
#include <memory>

namespace svsdk {
namespace {

// The number of extended grapheme clusters of `text`.
std::int64_t characterCount(const icu::UnicodeString& text) {
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::BreakIterator> iterator(icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
    if (U_FAILURE(status) || !iterator) return text.countChar32();  // no break data: count code points
    iterator->setText(text);
    std::int64_t count = 0;
    iterator->first();
    while (iterator->next() != icu::BreakIterator::DONE) ++count;
    return count;
}

struct Classes {
    bool lowercase = false;
    bool uppercase = false;
    bool digit = false;
};

Classes classesOf(const icu::UnicodeString& text) {
    Classes classes;
    for (int32_t i = 0; i < text.length();) {
        UChar32 c = text.char32At(i);
        switch (u_charType(c)) {
        case U_LOWERCASE_LETTER: classes.lowercase = true; break;
        case U_UPPERCASE_LETTER:
        case U_TITLECASE_LETTER: classes.uppercase = true; break;
        case U_DECIMAL_DIGIT_NUMBER: classes.digit = true; break;
        default: break;
        }
        i += U16_LENGTH(c);
    }
    return classes;
}

}  // namespace

bool validate(SVPasswordPolicy policy, std::string_view password) {
    if (password.size() > static_cast<std::size_t>(INT32_MAX)) return false;  // beyond what the text type holds
    // Ill-formed UTF-8 is replaced by U+FFFD during conversion.
    auto text = icu::UnicodeString::fromUTF8(icu::StringPiece(password.data(), static_cast<int32_t>(password.size())));
    std::int64_t length = characterCount(text);
    switch (policy) {
    case SVPasswordPolicy::optional:
    case SVPasswordPolicy::short_: return length > 5;
    case SVPasswordPolicy::longWithLetters:
    case SVPasswordPolicy::longWithLettersAndDigits: {
        if (length < 8) return false;
        Classes classes = classesOf(text);
        if (!classes.lowercase || !classes.uppercase) return false;
        return policy == SVPasswordPolicy::longWithLetters || classes.digit;
    }
    }
    return false;
}

}  // namespace svsdk
