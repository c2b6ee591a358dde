#include "Core/Utilities/JSONDecoding.h"

#include "Core/Utilities/JSON.h"

namespace svsdk {
namespace {

using Kind = SVDecodingError::Kind;

[[noreturn]] void mismatch(const nlohmann::json& value, const std::string& path, const char* expected) {
    if (value.is_null())
        throw SVDecodingError(Kind::valueNotFound, path, std::string("expected ") + expected + " but found null");
    throw SVDecodingError(Kind::typeMismatch, path,
                          std::string("expected ") + expected + " but found " + value.type_name());
}

}  // namespace

nlohmann::json parseJSONDocument(std::string_view text) {
    try {
        return parseExternalJSON(text);
    } catch (const SVPlatformError& e) {
        throw SVDecodingError(Kind::dataCorrupted, "", "not valid JSON: " + e.message());
    }
}

template <>
std::string decodeValue<std::string>(const nlohmann::json& value, const std::string& codingPath) {
    if (!value.is_string()) mismatch(value, codingPath, "a string");
    return value.get_ref<const std::string&>();
}

template <>
bool decodeValue<bool>(const nlohmann::json& value, const std::string& codingPath) {
    if (!value.is_boolean()) mismatch(value, codingPath, "a Boolean");
    return value.get<bool>();
}

template <>
std::int64_t decodeValue<std::int64_t>(const nlohmann::json& value, const std::string& codingPath) {
    if (!value.is_number()) mismatch(value, codingPath, "an integer");
    if (auto number = exactInteger(value)) return *number;
    throw SVDecodingError(Kind::dataCorrupted, codingPath, "number " + value.dump() + " does not fit a 64-bit integer");
}

template <>
double decodeValue<double>(const nlohmann::json& value, const std::string& codingPath) {
    if (!value.is_number()) mismatch(value, codingPath, "a number");
    return value.get<double>();
}

template <>
nlohmann::json::object_t decodeValue<nlohmann::json::object_t>(const nlohmann::json& value,
                                                               const std::string& codingPath) {
    if (!value.is_object()) mismatch(value, codingPath, "an object");
    return value.get_ref<const nlohmann::json::object_t&>();
}

template <>
nlohmann::json::array_t decodeValue<nlohmann::json::array_t>(const nlohmann::json& value,
                                                             const std::string& codingPath) {
    if (!value.is_array()) mismatch(value, codingPath, "an array");
    return value.get_ref<const nlohmann::json::array_t&>();
}

template <>
nlohmann::json decodeValue<nlohmann::json>(const nlohmann::json& value, const std::string& codingPath) {
    if (value.is_null() || value.is_discarded()) mismatch(value, codingPath, "a value");
    return value;
}

KeyedDecoder::KeyedDecoder(const nlohmann::json& value, std::string codingPath)
    : object_(&value), codingPath_(std::move(codingPath)) {
    if (!value.is_object()) mismatch(value, codingPath_, "an object");
}

std::string KeyedDecoder::pathOf(std::string_view key) const {
    if (codingPath_.empty()) return std::string(key);
    std::string path = codingPath_;
    path += '.';
    path += key;
    return path;
}

const nlohmann::json* KeyedDecoder::find(std::string_view key) const {
    auto it = object_->find(key);
    return it == object_->end() ? nullptr : &*it;
}

bool KeyedDecoder::contains(std::string_view key) const { return find(key) != nullptr; }

const nlohmann::json& KeyedDecoder::member(std::string_view key) const {
    if (const nlohmann::json* value = find(key)) return *value;
    throw SVDecodingError(Kind::keyNotFound, pathOf(key), "no value for the key");
}

KeyedDecoder KeyedDecoder::nested(std::string_view key) const { return KeyedDecoder(member(key), pathOf(key)); }

}  // namespace svsdk
