#include "Core/Utilities/JSON.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

#include <svsdk/SVError.h>

namespace svsdk {

namespace {

using Json = nlohmann::json;

// Builds the document from the events of a streaming parse, refusing a level
// beyond kJSONMaximumDepth and a value beyond the budget as soon as the event
// arrives. Each value is put straight into its container (the parser's own
// callback form searches the container after every nested object, which
// takes time that grows with the square of its size).
class BoundedBuilder : public nlohmann::json_sax<Json> {
public:
    BoundedBuilder(Json& root, std::size_t budget) : root_(root), budget_(budget) {}

    bool null() override { return add(nullptr); }
    bool boolean(bool value) override { return add(value); }
    bool number_integer(number_integer_t value) override { return add(value); }
    bool number_unsigned(number_unsigned_t value) override { return add(value); }
    bool number_float(number_float_t value, const string_t&) override { return add(value); }
    // The parser hands over its buffer: a long text is moved, not copied.
    bool string(string_t& value) override { return add(std::move(value)); }
    bool binary(binary_t& value) override {
        return add(Json::binary(std::move(static_cast<binary_t::container_type&>(value))));
    }
    bool start_object(std::size_t) override { return open(Json::object()); }
    bool key(string_t& key) override {
        count();
        member_ = &open_.back()->get_ref<Json::object_t&>()[std::move(key)];
        return true;
    }
    bool end_object() override { return close(); }
    bool start_array(std::size_t) override { return open(Json::array()); }
    bool end_array() override { return close(); }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception& error) override {
        throw SVPlatformError("json", error.id, parseErrorMessage(error));
    }

private:
    void count() {
        if (++values_ > budget_) throw SVPlatformError("json", 101, "more than " + std::to_string(budget_) + " values");
    }
    // Puts `value` where the parse stands: the top level, the end of the open
    // array, or the member of the open object whose key came last.
    Json* place(Json&& value) {
        count();
        if (open_.empty()) {
            root_ = std::move(value);
            return &root_;
        }
        if (auto* array = open_.back()->get_ptr<Json::array_t*>()) {
            array->push_back(std::move(value));
            return &array->back();
        }
        *member_ = std::move(value);
        return member_;
    }
    bool add(Json value) {
        place(std::move(value));
        return true;
    }
    // A container's place holds still while it is open: only the innermost
    // open container grows.
    bool open(Json container) {
        if (open_.size() >= static_cast<std::size_t>(kJSONMaximumDepth))
            throw SVPlatformError("json", 101, "nesting deeper than " + std::to_string(kJSONMaximumDepth) + " levels");
        open_.push_back(place(std::move(container)));
        return true;
    }
    bool close() {
        open_.pop_back();
        return true;
    }

    Json& root_;
    const std::size_t budget_;
    std::size_t values_ = 0;
    std::vector<Json*> open_;  // the open objects and arrays, outermost first
    Json* member_ = nullptr;   // the value of the last key of the innermost open object
};

// The bytes as the text they hold, without a copy.
std::string_view textOf(const Bytes& data) {
    return std::string_view(reinterpret_cast<const char*>(data.data()), data.size());
}

std::string syntaxErrorMessage(std::size_t byte) { return "syntax error at byte " + std::to_string(byte); }

Json parse(std::string_view text) {
    Json document;
    BoundedBuilder builder(document, kJSONMinimumValueBudget + text.size() / kJSONBytesPerValue);
    // No JSON text holds a NUL byte (inside a string it is written \u0000),
    // but the parser takes one for the end of its input. The text up to it is
    // parsed, so that an earlier error is the one reported; a valid document
    // there is followed by the NUL, an error at it.
    const std::size_t nul = std::min(text.find('\0'), text.size());
    try {
        Json::sax_parse(text.data(), text.data() + nul, &builder);
    } catch (const Json::exception& e) {
        throw SVPlatformError("json", e.id, parseErrorMessage(e));
    }
    if (nul != text.size()) throw SVPlatformError("json", kJSONSyntaxError, syntaxErrorMessage(nul + 1));
    return document;
}

Json parseDictionary(std::string_view text) {
    Json value = parse(text);
    if (!value.is_object()) throw SVError::missingRequestedData();
    return value;
}

// Follows `path` through the events of a streaming parse and keeps the value
// found there; the rest of the text is still read, so that only a whole valid
// document counts. Returning false stops the parse.
class PathReader : public nlohmann::json_sax<Json> {
public:
    explicit PathReader(const std::vector<std::string>& path) : path_(path) {}

    std::optional<std::int64_t> found;

    bool null() override { return scalar(); }
    bool boolean(bool) override { return scalar(); }
    bool number_integer(number_integer_t value) override { return number(Json(value)); }
    bool number_unsigned(number_unsigned_t value) override { return number(Json(value)); }
    bool number_float(number_float_t value, const string_t&) override { return number(Json(value)); }
    bool string(string_t&) override { return scalar(); }
    bool binary(binary_t&) override { return scalar(); }

    bool start_object(std::size_t) override {
        if (depth_ == 0) {
            followed_ = 1;  // the top level
        } else if (atPathMember()) {
            if (followed_ == path_.size()) {
                settled_ = true;  // an object where the number should be
            } else {
                ++followed_;
                keyMatches_ = false;
            }
        }
        return open();
    }
    bool key(string_t& key) override {
        if (!settled_ && depth_ == followed_) keyMatches_ = key == path_[followed_ - 1];
        return true;
    }
    bool end_object() override { return close(); }
    bool start_array(std::size_t) override {
        if (depth_ == 0) return false;  // the top level is not an object
        if (atPathMember()) settled_ = true;  // not an object on the path
        return open();
    }
    bool end_array() override { return close(); }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override { return false; }

private:
    bool atPathMember() const { return !settled_ && depth_ == followed_ && keyMatches_; }
    bool open() {
        if (static_cast<int>(depth_) >= kJSONMaximumDepth) return false;
        ++depth_;
        return true;
    }
    // An object on the path that closes without the member ends the search.
    bool close() {
        if (depth_ == followed_) settled_ = true;
        --depth_;
        return true;
    }
    bool scalar() {
        if (depth_ == 0) return false;  // the top level is not an object
        if (atPathMember()) settled_ = true;
        return true;
    }
    bool number(const Json& value) {
        if (atPathMember() && followed_ == path_.size()) found = exactInteger(value);
        return scalar();
    }

    const std::vector<std::string>& path_;
    std::size_t depth_ = 0;     // open objects and arrays
    std::size_t followed_ = 0;  // open objects that lie on the path, the top level included
    bool keyMatches_ = false;   // the last key of the innermost followed object is the next on the path
    bool settled_ = false;      // the value on the path was read, or cannot be there
};

template <class J>
void checkNumbers(const J& value) {
    if (value.is_number_float() && !std::isfinite(value.template get<double>()))
        throw SVPlatformError("json", kJSONInvalidValue,
                              "the number " + std::to_string(value.template get<double>()) +
                                  " cannot be written in JSON");
    if (value.is_structured())
        for (const auto& element : value) checkNumbers(element);
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

std::string parseErrorMessage(const nlohmann::json::exception& error) {
    if (const auto* syntax = dynamic_cast<const Json::parse_error*>(&error))
        return syntaxErrorMessage(syntax->byte);
    return "invalid JSON text";
}

Json parseExternalJSON(std::string_view data) { return parse(data); }

Json parseExternalJSON(const Bytes& data) { return parse(textOf(data)); }

std::optional<std::int64_t> streamedJSONInteger(std::string_view data, const std::vector<std::string>& path) {
    if (path.empty()) return std::nullopt;
    if (data.find('\0') != std::string_view::npos) return std::nullopt;  // no JSON text holds one
    PathReader reader(path);
    if (!Json::sax_parse(data.begin(), data.end(), &reader, nlohmann::json::input_format_t::json, true))
        return std::nullopt;
    return reader.found;
}

std::optional<std::int64_t> exactInteger(const Json& value) {
    if (value.is_number_unsigned()) {
        auto number = value.get<std::uint64_t>();
        if (number > static_cast<std::uint64_t>(INT64_MAX)) return std::nullopt;
        return static_cast<std::int64_t>(number);
    }
    if (value.is_number_integer()) return value.get<std::int64_t>();
    if (value.is_number_float()) {
        double number = value.get<double>();
        // [-2^63, 2^63): every whole double in it is exactly an int64.
        if (std::isfinite(number) && std::trunc(number) == number && number >= -9223372036854775808.0 &&
            number < 9223372036854775808.0)
            return static_cast<std::int64_t>(number);
    }
    return std::nullopt;
}

void requireEncodableNumbers(const Json& value) { checkNumbers(value); }
void requireEncodableNumbers(const nlohmann::ordered_json& value) { checkNumbers(value); }

Json jsonDictionary(const Bytes& data) { return parseDictionary(textOf(data)); }

Json jsonDictionary(std::string_view data) { return parseDictionary(data); }

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
