#include "Core/Utilities/DateParsing.h"

#include <cstdint>

#include <unicode/locid.h>
#include <unicode/parsepos.h>
#include <unicode/smpdtfmt.h>
#include <unicode/stringpiece.h>
#include <unicode/unistr.h>

namespace svsdk {

std::optional<double> dateFromAnyFormat(std::string_view text) {
    static constexpr const char16_t* patterns[] = {
        u"dd.MM.yyyy",
        u"yyyy-MM-dd'T'HH:mm:ssZZZZZ",
        u"yyyy-MM-ddZZZZZ",
        u"yyyy-MM-dd",
    };
    if (text.size() > static_cast<std::size_t>(INT32_MAX)) return std::nullopt;
    UErrorCode status = U_ZERO_ERROR;
    // A fixed locale so that the patterns read the same on every device; the
    // time zone is the device's default.
    icu::SimpleDateFormat formatter(icu::UnicodeString(patterns[0]), icu::Locale("en_US_POSIX"), status);
    if (U_FAILURE(status)) return std::nullopt;
    formatter.setLenient(false);

    const icu::UnicodeString input =
        icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
    for (const char16_t* pattern : patterns) {
        formatter.applyPattern(icu::UnicodeString(pattern));
        icu::ParsePosition position(0);
        UDate date = formatter.parse(input, position);
        // Only a reading of the whole text counts.
        if (position.getErrorIndex() < 0 && position.getIndex() > 0 && position.getIndex() == input.length())
            return date / 1000.0;
    }
    return std::nullopt;
}

}  // namespace svsdk
