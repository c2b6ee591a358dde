#pragma once
// Decoding of records from JSON values with the errors a strict decoder gives:
// a missing key (keyNotFound), a null where a value is needed (valueNotFound),
// a value of another type (typeMismatch) and a value outside what the type
// allows (dataCorrupted), each with the dotted path of the key.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>

#include <nlohmann/json.hpp>

#include <svsdk/SVError.h>
#include <svsdk/SVRawValue.h>

namespace svsdk {

// Parses a JSON document with parseExternalJSON (JSON.h); text that is not
// valid JSON, or nests too deep, throws SVDecodingError (dataCorrupted, empty
// path).
nlohmann::json parseJSONDocument(std::string_view text);

// One value as a T. Supported: std::string; bool (only true and false);
// std::int64_t (a number whose value is a whole number within range, also
// written with a fraction or exponent such as 6.0 or 1e2; 6.5 or 2^63 is
// dataCorrupted); double (any number); nlohmann::json::object_t;
// nlohmann::json::array_t; nlohmann::json (any value but null); and every
// enumeration with `fromRawValue` (a text; an unknown text is dataCorrupted).
// Null throws valueNotFound.
template <class T>
T decodeValue(const nlohmann::json& value, const std::string& codingPath);

// The members of one JSON object. The object must outlive the decoder.
class KeyedDecoder {
public:
    // Throws valueNotFound for null and typeMismatch for anything but an object.
    explicit KeyedDecoder(const nlohmann::json& value, std::string codingPath = {});

    const nlohmann::json& json() const { return *object_; }
    const std::string& codingPath() const { return codingPath_; }
    std::string pathOf(std::string_view key) const;
    // The key is present (also when its value is null).
    bool contains(std::string_view key) const;

    // The member as a T: missing is keyNotFound, null is valueNotFound,
    // anything else as `decodeValue`.
    template <class T>
    T required(std::string_view key) const {
        return decodeValue<T>(member(key), pathOf(key));
    }
    // Nothing when missing or null; a present value must decode.
    template <class T>
    std::optional<T> optional(std::string_view key) const {
        const nlohmann::json* value = find(key);
        if (!value || value->is_null()) return std::nullopt;
        return decodeValue<T>(*value, pathOf(key));
    }
    // Nothing when missing, null or not decodable as a T.
    template <class T>
    std::optional<T> tryOptional(std::string_view key) const noexcept {
        try {
            return optional<T>(key);
        } catch (...) {
            return std::nullopt;
        }
    }
    // The decoder of a member that must be an object.
    KeyedDecoder nested(std::string_view key) const;

private:
    const nlohmann::json* find(std::string_view key) const;
    const nlohmann::json& member(std::string_view key) const;

    const nlohmann::json* object_;
    std::string codingPath_;
};

template <>
std::string decodeValue<std::string>(const nlohmann::json& value, const std::string& codingPath);
template <>
bool decodeValue<bool>(const nlohmann::json& value, const std::string& codingPath);
template <>
std::int64_t decodeValue<std::int64_t>(const nlohmann::json& value, const std::string& codingPath);
template <>
double decodeValue<double>(const nlohmann::json& value, const std::string& codingPath);
template <>
nlohmann::json::object_t decodeValue<nlohmann::json::object_t>(const nlohmann::json& value,
                                                               const std::string& codingPath);
template <>
nlohmann::json::array_t decodeValue<nlohmann::json::array_t>(const nlohmann::json& value,
                                                             const std::string& codingPath);
template <>
nlohmann::json decodeValue<nlohmann::json>(const nlohmann::json& value, const std::string& codingPath);

template <class T>
T decodeValue(const nlohmann::json& value, const std::string& codingPath) {
    static_assert(std::is_enum_v<T>, "decodeValue supports the listed types and raw-value enumerations");
    std::string raw = decodeValue<std::string>(value, codingPath);
    if (auto decoded = fromRawValue<T>(raw)) return *decoded;
    throw SVDecodingError(SVDecodingError::Kind::dataCorrupted, codingPath, "unknown value \"" + raw + "\"");
}

}  // namespace svsdk
