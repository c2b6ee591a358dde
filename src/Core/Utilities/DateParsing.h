#pragma once
// The date parser of expiry dates in imported users and in the legacy store.
#include <optional>
#include <string_view>

namespace svsdk {

// Seconds since 1970 of the first of these patterns that reads the whole
// text, in the device's time zone where the text names none:
//   dd.MM.yyyy
//   yyyy-MM-dd'T'HH:mm:ssZZZZZ
//   yyyy-MM-ddZZZZZ
//   yyyy-MM-dd
// Nothing when none does.
std::optional<double> dateFromAnyFormat(std::string_view text);

}  // namespace svsdk
