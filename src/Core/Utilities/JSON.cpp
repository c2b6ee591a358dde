#include "Core/Utilities/JSON.h"

#include <svsdk/SVError.h>

namespace svsdk {

namespace {

using Json = nlohmann::json;

Json parseDictionary(const char* begin, const char* end) {
    // The parser reports the depth at which each object or array opens; the
    // top level opens at depth 0.
    Json::parser_callback_t limitDepth = [](int depth, Json::parse_event_t event, Json&) {
        if ((event == Json::parse_event_t::object_start || event == Json::parse_event_t::array_start) &&
            depth >= kJSONMaximumDepth)
            throw SVPlatformError("json", 101,
                                  "nesting deeper than " + std::to_string(kJSONMaximumDepth) + " levels");
        return true;
    };
    Json value;
    try {
        value = Json::parse(begin, end, limitDepth);
    } catch (const Json::exception& e) {
        throw SVPlatformError("json", e.id, e.what());
    }
    if (!value.is_object()) throw SVError::missingRequestedData();
    return value;
}

// The member when `dictionary` is an object that has it, else null.
const Json* member(const Json& dictionary, const std::string& key) {
    if (!dictionary.is_object()) return nullptr;
    auto found = dictionary.find(key);
    return found == dictionary.end() ? nullptr : &*found;
}

template <class T>
T fallback(std::optional<T>& defaultValue) {
    if (!defaultValue) throw SVError::missingRequestedData();
    return std::move(*defaultValue);
}

}  // namespace

Json jsonDictionary(const Bytes& data) {
    const char* begin = reinterpret_cast<const char*>(data.data());
    return parseDictionary(begin, begin + data.size());
}

Json jsonDictionary(std::string_view data) { return parseDictionary(data.data(), data.data() + data.size()); }

template <>
Json valueForKey<Json>(const Json& dictionary, const std::string& key, std::optional<Json> defaultValue) {
    const Json* found = member(dictionary, key);
    if (found && found->is_object()) return *found;
    return fallback(defaultValue);
}

template <>
std::vector<std::string> valueForKey<std::vector<std::string>>(const Json& dictionary, const std::string& key,
                                                               std::optional<std::vector<std::string>> defaultValue) {
    const Json* found = member(dictionary, key);
    if (found && found->is_array()) {
        std::vector<std::string> texts;
        texts.reserve(found->size());
        for (const auto& element : *found) {
            if (!element.is_string()) return fallback(defaultValue);
            texts.push_back(element.get<std::string>());
        }
        return texts;
    }
    return fallback(defaultValue);
}

template <>
std::string valueForKey<std::string>(const Json& dictionary, const std::string& key,
                                     std::optional<std::string> defaultValue) {
    const Json* found = member(dictionary, key);
    if (found && found->is_string()) return found->get<std::string>();
    return fallback(defaultValue);
}

std::string jsonData(const Json& value) {
    return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

}  // namespace svsdk
