#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <svsdk/SVError.h>
#include <svsdk/SVResult.h>

#include "Core/Utilities/JSON.h"
#include "Core/Utilities/JSONDecoding.h"
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

TEST(JSONTest, DictionaryReadsAnObjectOrGivesTheParserError) {
    EXPECT_EQ(jsonDictionary(bytesOf(R"({"a":{"b":[208]}})"))["a"]["b"][0], 208);
    for (const char* other : {"[]", "\"text\"", "12", "null"})
        EXPECT_EQ(errorOf<SVError>([&] { jsonDictionary(std::string_view(other)); }), SVError::missingRequestedData())
            << other;
    // Text that is not UTF-8 is a parse error too.
    for (const char* broken : {"", "{", "{\"a\":1}x", "{'a':1}", "{\"a\":01}", "{\"a\":\"\xff\"}"})
        EXPECT_EQ(parseErrorOf(broken).code(), 101) << broken;
    // Nesting beyond the limit is refused, also when deep enough to overflow the stack were it copied.
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
             {R"({"answer":{"result":{"error_code":208.5}}})", std::nullopt},
             {R"({"answer":{"result":{"error_code":9223372036854775808}}})", std::nullopt},
             {R"({"answer":{"result":{"error_code":1e300}}})", std::nullopt},
             {R"({"answer":{"result":{"error_code":"208"}}})", std::nullopt},
             {R"({"answer":{"result":{"error_code":[208]}}})", std::nullopt},
             // Members off the path, before or around it, are skipped whatever they hold.
             {R"({"x":[[],{"error_code":1}],"answer":{"error_code":2,"r":{"result":{"error_code":3}},)"
              R"("result":{"n":null,"error_code":210}}})", 210},
             {R"({"pad":)" + deep + R"(,"answer":{"result":{"error_code":208}}})", std::nullopt},
             // The member is read where it stands: what follows is not parsed.
             {R"({"answer":{"result":{"error_code":208}}} trailing)", 208},
             {R"({"answer":{"result":{}},"result":{"error_code":208}})", std::nullopt},
             {R"({"answer":[{"result":{"error_code":208}}]})", std::nullopt},
             {R"([{"answer":{"result":{"error_code":208}}}])", std::nullopt},
             {R"({"answer":{"result":{"error_code":)", std::nullopt},
             {"<html>208</html>", std::nullopt},
             {"", std::nullopt}})
        EXPECT_EQ(streamedJSONInteger(c.text, path), c.expected) << c.text.substr(0, 80);
    EXPECT_EQ(streamedJSONInteger(R"({"sv_api_version":3.0})", {"sv_api_version"}), 3);
}

// Each refusal of the decoder: its kind and the dotted path of the key.
TEST(JSONTest, DecodingNamesTheKindAndThePath) {
    const json record = {{"s", "t"}, {"n", nullptr}, {"i", 6.0}, {"f", 6.5}, {"o", {{"b", true}}}};
    KeyedDecoder decoder(record, "r");
    EXPECT_EQ(decoder.required<std::string>("s") + std::to_string(decoder.required<std::int64_t>("i")), "t6");
    EXPECT_TRUE(decoder.nested("o").required<bool>("b"));
    EXPECT_FALSE(decoder.optional<std::string>("n") || decoder.optional<std::string>("x") ||
                 decoder.tryOptional<std::string>("i"));
    using Kind = SVDecodingError::Kind;
    struct Case {
        std::function<void()> call;
        Kind kind;
        std::string path;
    };
    for (const auto& c : std::vector<Case>{
             {[&] { decoder.required<std::string>("n"); }, Kind::valueNotFound, "r.n"},
             {[&] { decoder.required<json>("n"); }, Kind::valueNotFound, "r.n"},
             {[&] { decoder.required<std::string>("i"); }, Kind::typeMismatch, "r.i"},
             {[&] { decoder.required<bool>("s"); }, Kind::typeMismatch, "r.s"},
             {[&] { decoder.optional<double>("s"); }, Kind::typeMismatch, "r.s"},
             {[&] { decoder.required<std::int64_t>("f"); }, Kind::dataCorrupted, "r.f"},
             {[&] { decoder.required<std::string>("x"); }, Kind::keyNotFound, "r.x"},
             {[&] { decoder.nested("o").required<json::array_t>("b"); }, Kind::typeMismatch, "r.o.b"},
             {[&] { decoder.nested("s"); }, Kind::typeMismatch, "r.s"},
             {[&] { KeyedDecoder(record["n"], "q"); }, Kind::valueNotFound, "q"},
             {[&] { parseJSONDocument("{"); }, Kind::dataCorrupted, ""}}) {
        auto error = errorOf<SVDecodingError>(c.call);
        EXPECT_EQ(std::pair(error.kind(), error.codingPath()), std::pair(c.kind, c.path)) << c.path;
    }
}

TEST(JSONTest, DataWritesCompactJSONThatReadsBack) {
    json dictionary = {{"b", {1, 2}}, {"a", "x/y \"q\""}, {"c", json::object()}, {"u", "\xc3\xa4"}};
    std::string text = jsonData(dictionary);
    EXPECT_EQ(text, "{\"a\":\"x/y \\\"q\\\"\",\"b\":[1,2],\"c\":{},\"u\":\"\xc3\xa4\"}");
    EXPECT_EQ(jsonDictionary(text), dictionary);
    // Bytes that are not UTF-8 become U+FFFD rather than an error.
    EXPECT_EQ(jsonData(json{{"name", std::string("a\xff" "b")}}), "{\"name\":\"a\xef\xbf\xbd" "b\"}");
}
