#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include <svsdk/SVError.h>
#include <svsdk/SVResult.h>

#include "Core/Utilities/JSON.h"
#include "support/Thrown.h"

using namespace svsdk;
using nlohmann::json;

namespace {

// The error of type Error that `call` throws (the test fails when it throws none).
template <class Error, class F>
Error errorOf(F&& call) {
    return svsdk::testing::thrownAs<Error>(std::forward<F>(call)).value();
}

SVPlatformError parseErrorOf(std::string_view text) {
    return errorOf<SVPlatformError>([&] { jsonDictionary(text); });
}

std::string nested(int levels) {
    std::string text;
    for (int i = 0; i < levels; ++i) text += "{\"a\":";
    return text + "1" + std::string(static_cast<std::size_t>(levels), '}');
}

}  // namespace

TEST(JSONTest, DictionaryReadsAnObjectAndNothingElse) {
    auto dictionary = jsonDictionary(bytesOf(R"({"answer":{"result":{"error_code":208}},"list":["a"]})"));
    EXPECT_EQ(dictionary["answer"]["result"]["error_code"], 208);
    EXPECT_TRUE(jsonDictionary("{}").empty());
    for (const char* other : {"[]", "[1,2]", "\"text\"", "12", "null", "true"})
        EXPECT_EQ(errorOf<SVError>([&] { jsonDictionary(std::string_view(other)); }), SVError::missingRequestedData())
            << other;
}

TEST(JSONTest, DictionaryPassesOnTheParserError) {
    // Text that is not UTF-8 is a parse error too.
    for (const char* broken : {"", "{", "not json", "{\"a\":1}x", "{'a':1}", "{\"a\":01}", "{\"a\":\"\xff\"}"}) {
        auto error = parseErrorOf(broken);
        EXPECT_EQ(error.domain(), "json") << broken;
        EXPECT_EQ(error.code(), 101) << broken;
        EXPECT_FALSE(error.message().empty()) << broken;
    }
    EXPECT_EQ(errorOf<SVPlatformError>([] { jsonDictionary(Bytes{}); }).code(), 101);

    // Nesting beyond the limit is refused, also when deep enough to overflow
    // the stack were it copied.
    EXPECT_NO_THROW(jsonDictionary(nested(kJSONMaximumDepth)));
    EXPECT_EQ(parseErrorOf(nested(kJSONMaximumDepth + 1)).domain(), "json");
    EXPECT_EQ(parseErrorOf("{\"a\":" + std::string(200000, '[') + std::string(200000, ']') + "}").domain(), "json");
}

// Texts padded to one size, so their budget is known, with exactly the
// budget of values or one more: every kind of value counts.
TEST(JSONTest, ValuesBeyondTheTextsBudgetAreRefused) {
    constexpr std::size_t kSize = 1600000;
    const std::size_t budget = kJSONMinimumValueBudget + kSize / kJSONBytesPerValue;
    // One array of `count` numbers, or one object of `count` members.
    auto numbers = [&](std::size_t count) {
        std::string text = "[0";
        for (std::size_t i = 1; i < count; ++i) text += ",0";
        return text + "]" + std::string(kSize - text.size() - 1, ' ');
    };
    auto members = [&](std::size_t count) {
        std::string text = "{";
        for (std::size_t i = 0; i < count; ++i) text += (i ? ",\"k" : "\"k") + std::to_string(i) + "\":0";
        return text + "}" + std::string(kSize - text.size() - 1, ' ');
    };
    ASSERT_EQ(budget % 2, 0u);
    struct Case {
        std::string name;
        std::string text;
        bool refused;
    };
    for (const auto& c : std::vector<Case>{{"array and numbers at the budget", numbers(budget - 1), false},
                                           {"array and numbers beyond", numbers(budget), true},
                                           {"object, keys and numbers at the budget", members(budget / 2 - 1), false},
                                           {"object, keys and numbers beyond", members(budget / 2), true}}) {
        ASSERT_EQ(c.text.size(), kSize) << c.name;
        if (!c.refused) {
            EXPECT_NO_THROW(parseExternalJSON(c.text)) << c.name;
            continue;
        }
        auto error = errorOf<SVPlatformError>([&] { parseExternalJSON(c.text); });
        EXPECT_EQ(error.domain() + " " + std::to_string(error.code()), "json 101") << c.name;
        EXPECT_EQ(error.message(), "more than " + std::to_string(budget) + " values") << c.name;
    }
}

TEST(JSONTest, ParseErrorsNeverQuoteTheInput) {
    // The parser's own text quotes the bytes it read last: here the secret.
    struct Case {
        std::string text;
        std::string message;
    };
    // The byte counts from 1; the end of the text is the byte after the last.
    for (const auto& c : std::vector<Case>{{"{\"k\":\"SECRET4711", "syntax error at byte 17"},
                                           {"{\"k\":\"SECRET4711\xff\"}", "syntax error at byte 17"},
                                           {"{\"k\":\"SECRET4711\\u00\"}", "syntax error at byte 21"},
                                           {"{\"k\":4711e99999}", "invalid JSON text"}}) {
        auto error = parseErrorOf(c.text);
        EXPECT_EQ(error.message(), c.message) << c.text;
        EXPECT_EQ(std::string(error.what()).find("4711"), std::string::npos) << error.what();
    }
    auto failure = [] {
        try {
            auto parsed = json::parse("{\"k\":\"SECRET4711");
            (void)parsed;
        } catch (...) {
            return SVFailure::fromCurrentException();
        }
        return SVFailure(SVError::internalError());
    }();
    EXPECT_EQ(failure.description(), "json error 101: syntax error at byte 17");
}

TEST(JSONTest, StreamedIntegerFollowsThePathAndTakesOnlyExactIntegers) {
    const std::vector<std::string> path = {"answer", "result", "error_code"};
    const std::string deep = std::string(100000, '[') + std::string(100000, ']');
    struct Case {
        std::string text;
        std::optional<std::int64_t> expected;
    };
    for (const Case& c : std::vector<Case>{
             {R"({"answer":{"result":{"error_code":208}}})", 208},
             {R"({"answer":{"result":{"error_code":208.0}}})", 208},
             {R"({"answer":{"result":{"error_code":2.08e2}}})", 208},
             {R"({"answer":{"result":{"error_code":-2}}})", -2},
             {R"({"answer":{"result":{"error_code":208.5}}})", std::nullopt},
             {R"({"answer":{"result":{"error_code":9223372036854775808}}})", std::nullopt},
             {R"({"answer":{"result":{"error_code":1e300}}})", std::nullopt},
             {R"({"answer":{"result":{"error_code":"208"}}})", std::nullopt},
             {R"({"answer":{"result":{"error_code":[208]}}})", std::nullopt},
             {R"({"answer":{"result":{"error_code":{"v":208}}}})", std::nullopt},
             // Members off the path, before or around it, are skipped whatever they hold.
             {R"({"x":[[],{"error_code":1}],"answer":{"error_code":2,"r":{"result":{"error_code":3}},)"
              R"("result":{"n":null,"error_code":210}}})", 210},
             {R"({"pad":)" + deep + R"(,"answer":{"result":{"error_code":208}}})", std::nullopt},
             // The member is read where it stands: what follows is not parsed.
             {R"({"answer":{"result":{"error_code":208}}} trailing)", 208},
             {R"({"answer":{"result":{}},"result":{"error_code":208}})", std::nullopt},
             {R"({"answer":[{"result":{"error_code":208}}]})", std::nullopt},
             {R"({"answer":{"result":208}})", std::nullopt},
             {R"([{"answer":{"result":{"error_code":208}}}])", std::nullopt},
             {R"({"answer":{"result":{"error_code":)", std::nullopt},
             {"<html>208</html>", std::nullopt},
             {"208", std::nullopt},
             {"", std::nullopt}})
        EXPECT_EQ(streamedJSONInteger(c.text, path), c.expected) << c.text.substr(0, 80);
    EXPECT_EQ(streamedJSONInteger(R"({"sv_api_version":3.0})", {"sv_api_version"}), 3);
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
    using Texts = std::vector<std::string>;
    EXPECT_EQ(valueForKey<json>(dictionary, "answer"), json({{"transaction_id", "t1"}}));
    EXPECT_EQ(valueForKey<Texts>(dictionary, "transaction_list"), (Texts{"t1", "t2"}));
    EXPECT_TRUE(valueForKey<Texts>(dictionary, "empty_list").empty());
    EXPECT_EQ(valueForKey<std::string>(dictionary, "transactionId", "fallback"), "t9");

    // Missing or of another type: the default when given, else the error.
    EXPECT_EQ(errorOf<SVError>([&] { valueForKey<std::string>(dictionary, "number"); }), SVError::missingRequestedData());
    EXPECT_EQ(valueForKey<std::string>(dictionary, "number", "fallback"), "fallback");
    EXPECT_EQ(valueForKey<std::string>(dictionary, "missing", ""), "");
    EXPECT_THROW(valueForKey<std::string>(dictionary, "null"), SVError);
    EXPECT_THROW(valueForKey<json>(dictionary, "transaction_list"), SVError);
    EXPECT_THROW(valueForKey<json>(dictionary, "missing"), SVError);
    EXPECT_EQ(valueForKey<json>(dictionary, "missing", json::object()), json::object());
    EXPECT_THROW(valueForKey<Texts>(dictionary, "mixed_list"), SVError);
    EXPECT_THROW(valueForKey<Texts>(dictionary, "answer"), SVError);
    EXPECT_EQ(valueForKey<Texts>(dictionary, "mixed_list", Texts{}), Texts{});
    // Not a dictionary: no members.
    EXPECT_THROW(valueForKey<std::string>(json::array({"transactionId"}), "transactionId"), SVError);
}

TEST(JSONTest, DataWritesCompactJSONThatReadsBack) {
    json dictionary = {{"b", {1, 2}}, {"a", "x/y \"q\""}, {"c", json::object()}, {"u", "\xc3\xa4"}};
    std::string text = jsonData(dictionary);
    EXPECT_EQ(text, "{\"a\":\"x/y \\\"q\\\"\",\"b\":[1,2],\"c\":{},\"u\":\"\xc3\xa4\"}");
    EXPECT_EQ(jsonDictionary(text), dictionary);
    // Bytes that are not UTF-8 become U+FFFD rather than an error.
    EXPECT_EQ(jsonData(json{{"name", std::string("a\xff" "b")}}), "{\"name\":\"a\xef\xbf\xbd" "b\"}");
}
