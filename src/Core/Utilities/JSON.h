#pragma once
// JSON helpers of the answer-decoding steps: bytes to a dictionary, typed
// values out of a dictionary, and a dictionary back to bytes.
#include <cstddef>
#include <cstdint>
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

// A parsed value costs up to about a hundred bytes of memory, while its text
// may be two (`0,`): a text of n bytes may hold at most
// kJSONMinimumValueBudget + n / kJSONBytesPerValue values (every object,
// array, key and scalar counts), so the document of a large text takes at
// most a few times the text. A text value, however long, is one value: its
// memory is its bytes.
inline constexpr std::size_t kJSONMinimumValueBudget = 100000;
inline constexpr std::size_t kJSONBytesPerValue = 32;

// The code of the SVPlatformError ("json") of a syntax error: the parser's own
// id of a parse error.
inline constexpr int kJSONSyntaxError = 101;

// The code of the SVPlatformError ("json") that refuses to write a value JSON
// cannot hold (a NaN or infinite number).
inline constexpr int kJSONInvalidValue = 501;

// The message of an error of the parser, for a log line or an error value: a
// fixed text with the byte offset of a syntax error. Never the parser's own
// text, which quotes the bytes read last (they may be key material).
std::string parseErrorMessage(const nlohmann::json::exception& error);

// The one parser of JSON that comes from outside (server answers, QR texts,
// stored files, records): a document with any top level. A syntax error
// (invalid UTF-8 and a NUL byte anywhere included) throws
// SVPlatformError("json", <parser error id>, parseErrorMessage(...));
// nesting deeper than kJSONMaximumDepth or more values than the text's budget
// (above) throws SVPlatformError("json", 101) as soon as the parser reaches
// it, before the document grows further.
nlohmann::json parseExternalJSON(std::string_view data);
nlohmann::json parseExternalJSON(const Bytes& data);

// The number at `path` (members of nested objects, from the top level) read
// by a streaming parse that never builds the document, so a large answer
// costs no memory beyond its bytes. Nothing when the text is not one valid
// JSON document (trailing text, a NUL byte or a cut-short document
// included), nests deeper than kJSONMaximumDepth, a member on the path is
// missing or not an object, or the value is not an integer (see
// exactInteger). The first occurrence of a member counts.
std::optional<std::int64_t> streamedJSONInteger(std::string_view data, const std::vector<std::string>& path);

// A JSON number that is exactly a signed 64-bit integer, also when written
// with a fraction or exponent (208.0, 2.08e2); nothing for a fraction, a
// number out of range, or any other value.
std::optional<std::int64_t> exactInteger(const nlohmann::json& value);

// Parses `data` as JSON whose top level is an object, with the errors of
// parseExternalJSON; any other top level throws
// SVError::missingRequestedData().
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

// Throws SVPlatformError("json", kJSONInvalidValue) when `value` holds a
// number JSON cannot write (NaN or infinite): the encoder refuses it rather
// than write null.
void requireEncodableNumbers(const nlohmann::json& value);
void requireEncodableNumbers(const nlohmann::ordered_json& value);

// Compact JSON text of `value`. Text members that are not valid UTF-8 are
// written with U+FFFD in place of each bad sequence, so odd bytes from a host
// never fail a request; nothing else can fail.
std::string jsonData(const nlohmann::json& value);

}  // namespace svsdk
