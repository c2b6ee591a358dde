#pragma once
// Small text helpers over UTF-8.
#include <string>
#include <string_view>

namespace svsdk {

// `text` without leading and trailing white space and newlines: tab, line
// feed, vertical tab, form feed, carriage return, U+0085 and every character
// of the Unicode categories Zs, Zl and Zp. Bytes that are not valid UTF-8
// count as other characters and stay.
std::string trimmingWhitespaceAndNewlines(std::string_view text);

}  // namespace svsdk
