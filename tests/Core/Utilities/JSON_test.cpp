#include <gtest/gtest.h>

#include <string>

#include <svsdk/SVError.h>

#include "Core/Utilities/JSON.h"

using namespace svsdk;
using nlohmann::json;

namespace {

template <class F>
SVPlatformError platformErrorOf(F&& call) {
    try {
        call();
    } catch (const SVPlatformError& e) {
        return e;
    }
    ADD_FAILURE() << "no SVPlatformError thrown";
    return SVPlatformError("none", 0, "");
}

std::string nested(int levels) {
    std::string text;
    for (int i = 0; i < levels; ++i) text += "{\"a\":";
    text += "1";
    text.append(static_cast<std::size_t>(levels), '}');
    return text;
}

}  // namespace

TEST(JSONTest, DictionaryReadsAnObjectAndNothingElse) {
    auto dictionary = jsonDictionary(bytesOf(R"({"answer":{"result":{"error_code":208}},"list":["a"]})"));
    EXPECT_EQ(dictionary["answer"]["result"]["error_code"], 208);
    EXPECT_TRUE(jsonDictionary("{}").empty());

    for (const char* other : {"[1,2]", "\"text\"", "12", "null", "true"})
        EXPECT_THROW(jsonDictionary(std::string_view(other)), SVError) << other;
    try {
        jsonDictionary("[]");
    } catch (const SVError& e) {
        EXPECT_EQ(e, SVError::missingRequestedData());
    }
}

TEST(JSONTest, DictionaryPassesOnTheParserError) {
    for (const char* broken : {"", "{", "not json", "{\"a\":1}x", "{'a':1}", "{\"a\":01}"}) {
        auto error = platformErrorOf([&] { jsonDictionary(std::string_view(broken)); });
        EXPECT_EQ(error.domain(), "json") << broken;
        EXPECT_EQ(error.code(), 101) << broken;
        EXPECT_FALSE(error.message().empty()) << broken;
    }
    EXPECT_EQ(platformErrorOf([] { jsonDictionary(Bytes{}); }).code(), 101);
    // Text that is not UTF-8 is a parse error too.
    auto error = platformErrorOf([] { jsonDictionary(bytesOf("{\"a\":\"\xff\"}")); });
    EXPECT_EQ(error.domain(), "json");
}

TEST(JSONTest, DictionaryRefusesNestingBeyondTheLimit) {
    EXPECT_NO_THROW(jsonDictionary(nested(kJSONMaximumDepth)));
    auto error = platformErrorOf([] { jsonDictionary(nested(kJSONMaximumDepth + 1)); });
    EXPECT_EQ(error.domain(), "json");
    // Deep enough to overflow the stack when copied, were it accepted.
    std::string arrays = "{\"a\":" + std::string(200000, '[') + std::string(200000, ']') + "}";
    EXPECT_EQ(platformErrorOf([&] { jsonDictionary(arrays); }).domain(), "json");
}

TEST(JSONTest, ValueForKeyGivesTheTypedValueOrTheDefaultOrThrows) {
    auto dictionary = jsonDictionary(R"({
        "answer": {"transaction_id": "t1"},
        "transaction_list": ["t1", "t2"],
        "mixed_list": ["t1", 2],
        "empty_list": [],
        "transactionId": "t9",
        "number": 42,
        "null": null
    })");

    EXPECT_EQ(valueForKey<json>(dictionary, "answer"), json({{"transaction_id", "t1"}}));
    EXPECT_EQ(valueForKey<std::vector<std::string>>(dictionary, "transaction_list"),
              (std::vector<std::string>{"t1", "t2"}));
    EXPECT_TRUE(valueForKey<std::vector<std::string>>(dictionary, "empty_list").empty());
    EXPECT_EQ(valueForKey<std::string>(dictionary, "transactionId"), "t9");
    EXPECT_EQ(valueForKey<std::string>(dictionary, "transactionId", "fallback"), "t9");

    // Missing or of another type: the default when given, else the error.
    EXPECT_THROW(valueForKey<std::string>(dictionary, "number"), SVError);
    EXPECT_EQ(valueForKey<std::string>(dictionary, "number", "fallback"), "fallback");
    EXPECT_EQ(valueForKey<std::string>(dictionary, "missing", ""), "");
    EXPECT_THROW(valueForKey<std::string>(dictionary, "null"), SVError);
    EXPECT_THROW(valueForKey<json>(dictionary, "transaction_list"), SVError);
    EXPECT_THROW(valueForKey<json>(dictionary, "transactionId"), SVError);
    EXPECT_EQ(valueForKey<json>(dictionary, "missing", json::object()), json::object());
    EXPECT_THROW(valueForKey<std::vector<std::string>>(dictionary, "mixed_list"), SVError);
    EXPECT_THROW(valueForKey<std::vector<std::string>>(dictionary, "answer"), SVError);
    EXPECT_EQ(valueForKey<std::vector<std::string>>(dictionary, "mixed_list", std::vector<std::string>{}),
              std::vector<std::string>{});

    // Not a dictionary: no members.
    EXPECT_THROW(valueForKey<std::string>(json::array({"transactionId"}), "transactionId"), SVError);
    try {
        valueForKey<json>(dictionary, "missing");
        ADD_FAILURE() << "no error";
    } catch (const SVError& e) {
        EXPECT_EQ(e, SVError::missingRequestedData());
    }
}

TEST(JSONTest, DataWritesCompactJSONThatReadsBack) {
    json dictionary = {{"b", {1, 2}}, {"a", "x/y \"q\""}, {"c", json::object()}, {"u", "\xc3\xa4"}};
    std::string text = jsonData(dictionary);
    EXPECT_EQ(text, "{\"a\":\"x/y \\\"q\\\"\",\"b\":[1,2],\"c\":{},\"u\":\"\xc3\xa4\"}");
    EXPECT_EQ(jsonDictionary(text), dictionary);
    EXPECT_EQ(jsonData(json::object()), "{}");

    // Bytes that are not UTF-8 become U+FFFD rather than an error.
    std::string written = jsonData(json{{"name", std::string("a\xff" "b")}});
    EXPECT_EQ(written, "{\"name\":\"a\xef\xbf\xbd" "b\"}");
}
