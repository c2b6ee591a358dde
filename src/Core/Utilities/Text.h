#pragma once
// Small text helpers over UTF-8.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace svsdk {

// `text` without leading and trailing white space and newlines: tab, line
// feed, vertical tab, form feed, carriage return, U+0085 and every character
// of the Unicode categories Zs, Zl and Zp. Bytes that are not valid UTF-8
// count as other characters and stay.
std::string trimmingWhitespaceAndNewlines(std::string_view text);

// An optional "+" or "-" and one or more digits 0-9, nothing else, within
// the signed 64-bit range; anything else (an overflow included) gives nothing.
std::optional<std::int64_t> decimalInteger(std::string_view text);

// Whether `text` is well-formed UTF-8.
bool isValidUTF8(std::string_view text);
// `text` with each ill-formed UTF-8 sequence replaced by U+FFFD.
std::string replacingInvalidUTF8(std::string_view text);
// `text` as valid UTF-8: each ill-formed sequence becomes U+FFFD; valid text
// is returned unchanged.
std::string validUTF8(std::string_view text);

// The text of a double: the shortest decimal that reads back as the same
// value, always with a fraction ("65.0", "-0.5", "0.0"); magnitudes below
// 0.0001 or from 2^53 up in exponent form with at least two exponent digits
// ("1e-05", "1e+16"); "nan", "inf", "-inf".
std::string decimalText(double value);

// A base-10 integer: an optional "+" or "-", then decimal digits and nothing
// else, within the signed 64-bit range; nothing otherwise.
std::optional<std::int64_t> parseInteger(std::string_view text);

}  // namespace svsdk
