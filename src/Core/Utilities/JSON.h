#pragma once
// JSON helpers of the answer-decoding steps: bytes to a dictionary, typed
// values out of a dictionary, and a dictionary back to bytes.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include <svsdk/SVBytes.h>

namespace svsdk {

// Objects and arrays nested deeper than this are refused when parsing: copying
// and writing a parsed value recurse once per level.
inline constexpr int kJSONMaximumDepth = 512;

// Parses `data` as JSON whose top level is an object. A syntax error (invalid
// UTF-8 included) or nesting deeper than kJSONMaximumDepth throws
// SVPlatformError("json", <parser error id>, <parser message>); any other top
// level throws SVError::missingRequestedData().
nlohmann::json jsonDictionary(const Bytes& data);
nlohmann::json jsonDictionary(std::string_view data);

// The member `key` of `dictionary` as T. Exists for three targets:
//   nlohmann::json            a nested object
//   std::vector<std::string>  an array whose every element is text
//   std::string               text
// A member that is missing or of another type gives `defaultValue`; without
// one it throws SVError::missingRequestedData(). A `dictionary` that is not an
// object has no members.
template <class T>
T valueForKey(const nlohmann::json& dictionary, const std::string& key, std::optional<T> defaultValue = std::nullopt);

template <>
nlohmann::json valueForKey<nlohmann::json>(const nlohmann::json& dictionary, const std::string& key,
                                           std::optional<nlohmann::json> defaultValue);
template <>
std::vector<std::string> valueForKey<std::vector<std::string>>(const nlohmann::json& dictionary,
                                                               const std::string& key,
                                                               std::optional<std::vector<std::string>> defaultValue);
template <>
std::string valueForKey<std::string>(const nlohmann::json& dictionary, const std::string& key,
                                     std::optional<std::string> defaultValue);

// Compact JSON text of `value`. Text members that are not valid UTF-8 are
// written with U+FFFD in place of each bad sequence, so odd bytes from a host
// never fail a request; nothing else can fail.
std::string jsonData(const nlohmann::json& value);

}  // namespace svsdk
