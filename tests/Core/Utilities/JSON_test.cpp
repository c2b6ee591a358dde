#include <gtest/gtest.h>

#include <functional>

#include "Core/Utilities/JSON.h"
#include "Core/Utilities/JSONDecoding.h"
#include "support/Thrown.h"

using namespace svsdk;
using nlohmann::json;

namespace {

template <class Error, class F>
Error errorOf(F&& call) {
    return svsdk::testing::thrownAs<Error>(std::forward<F>(call)).value();
}

SVPlatformError parseErrorOf(std::string_view text) {
    return errorOf<SVPlatformError>([&] { jsonDictionary(text); });
}

TEST(JSONTest, DictionaryReadsAnObjectOrGivesTheParserErrorWithoutQuotingTheInput) {
    EXPECT_EQ(jsonDictionary(bytesOf(R"({"a":{"b":[208]}})"))["a"]["b"][0], 208);
    for (const char* other : {"[]", "\"text\"", "12", "null"})
        EXPECT_EQ(errorOf<SVError>([&] { jsonDictionary(std::string_view(other)); }), SVError::missingRequestedData());
    for (const char* broken : {"", "{", "{\"a\":1}x", "{'a':1}", "{\"a\":01}", "{\"a\":\"\xff\"}"})
        EXPECT_EQ(parseErrorOf(broken).code(), 101) << broken;
    // A NUL byte is no end of the text: a document before it is not the whole text.
    using namespace std::string_literals;
    const std::pair<std::string, std::string> nuls[] = {{"{\"a\":1}\0"s, "syntax error at byte 8"},
                                                        {"{\"a\":1}\0 garbage }"s, "syntax error at byte 8"},
                                                        {"{\"a\":1} \0{\"a\":1}"s, "syntax error at byte 9"},
                                                        {"{\"a\":\"1\0\"}"s, "syntax error at byte 8"},
                                                        {"{\"a\" 1}\0"s, "syntax error at byte 6"}};
    for (const auto& [text, message] : nuls) {
        auto error = parseErrorOf(text);
        EXPECT_EQ(error.domain() + " " + std::to_string(error.code()) + " " + error.message(), "json 101 " + message)
            << text;
        EXPECT_THROW(parseExternalJSON(bytesOf(text)), SVPlatformError) << text;
    }
    EXPECT_EQ(jsonDictionary(std::string_view(R"({"a":"1\u0000"})"))["a"], "1\0"s) << "an escaped NUL is text";
    // Nesting beyond the limit is refused, also when deep enough to overflow the stack were it copied.
    std::string nested = "1";
    for (int i = 0; i < kJSONMaximumDepth; ++i) nested = "{\"a\":" + nested + "}";
    EXPECT_NO_THROW(jsonDictionary(nested));
    EXPECT_EQ(parseErrorOf("{\"a\":" + nested + "}").domain(), "json");
    EXPECT_EQ(parseErrorOf("{\"a\":" + std::string(200000, '[') + std::string(200000, ']') + "}").domain(), "json");
    // The parser's own text quotes the bytes it read last (the secret); the byte counts from 1.
    const std::pair<std::string, std::string> secrets[] = {{"{\"k\":\"SECRET4711", "syntax error at byte 17"},
                                                           {"{\"k\":\"SECRET4711\xff\"}", "syntax error at byte 17"},
                                                           {"{\"k\":\"SECRET4711\\u00\"}", "syntax error at byte 21"},
                                                           {"{\"k\":4711e99999}", "invalid JSON text"}};
    for (const auto& [text, message] : secrets) {
        auto error = parseErrorOf(text);
        EXPECT_EQ(error.message(), message) << text;
        EXPECT_EQ(std::string(error.what()).find("4711"), std::string::npos) << error.what();
    }
    // Writing is compact and reads back; bytes that are not UTF-8 become U+FFFD.
    json dictionary = {{"b", {1, 2}}, {"a", "x/y \"q\""}, {"c", json::object()}, {"u", "\xc3\xa4"}};
    EXPECT_EQ(jsonData(dictionary), "{\"a\":\"x/y \\\"q\\\"\",\"b\":[1,2],\"c\":{},\"u\":\"\xc3\xa4\"}");
    EXPECT_EQ(jsonDictionary(jsonData(dictionary)), dictionary);
    EXPECT_EQ(jsonData(json{{"name", std::string("a\xff" "b")}}), "{\"name\":\"a\xef\xbf\xbd" "b\"}");
}

// Texts padded to one size, so their budget is known, with exactly the
// budget of values or one more: every kind of value counts.
TEST(JSONTest, ValuesBeyondTheTextsBudgetAreRefused) {
    constexpr std::size_t kSize = 1600000;
    const std::size_t budget = kJSONMinimumValueBudget + kSize / kJSONBytesPerValue;
    ASSERT_EQ(budget % 2, 0u);
    auto padded = [&](std::string text) { return text + std::string(kSize - text.size(), ' '); };
    auto numbers = [&](std::size_t count) {  // one array of `count` numbers
        std::string text = "[0";
        for (std::size_t i = 1; i < count; ++i) text += ",0";
        return padded(text + "]");
    };
    auto members = [&](std::size_t count) {  // one object of `count` members
        std::string text = "{";
        for (std::size_t i = 0; i < count; ++i) text += (i ? ",\"k" : "\"k") + std::to_string(i) + "\":0";
        return padded(text + "}");
    };
    for (const auto& [text, refused] : std::vector<std::pair<std::string, bool>>{
             {numbers(budget - 1), false}, {numbers(budget), true}, {members(budget / 2 - 1), false},
             {members(budget / 2), true}}) {
        ASSERT_EQ(text.size(), kSize);
        if (!refused) {
            EXPECT_NO_THROW(parseExternalJSON(text)) << text.substr(0, 9);
            continue;
        }
        auto error = errorOf<SVPlatformError>([&] { parseExternalJSON(text); });
        EXPECT_EQ(error.domain() + " " + std::to_string(error.code()) + " " + error.message(),
                  "json 101 more than " + std::to_string(budget) + " values");
    }
}

TEST(JSONTest, StreamedIntegerFollowsThePathAndTakesOnlyExactIntegers) {
    const std::vector<std::string> path = {"answer", "result", "error_code"};
    const std::string deep = std::string(100000, '[') + std::string(100000, ']');
    auto at = [](const std::string& value) { return R"({"answer":{"result":{"error_code":)" + value + "}}}"; };
    const std::pair<std::string, std::optional<std::int64_t>> cases[] = {
        {at("208"), 208}, {at("208.0"), 208}, {at("2.08e2"), 208}, {at("208.5"), std::nullopt},
        {at("9223372036854775808"), std::nullopt}, {at("1e300"), std::nullopt}, {at("\"208\""), std::nullopt},
        {at("[208]"), std::nullopt}, {at("{}"), std::nullopt}, {at("null"), std::nullopt},
        // Members off the path, before or around it, are skipped whatever they hold.
        {R"({"x":[[],{"error_code":1}],"answer":{"error_code":2,"r":{"result":{"error_code":3}},)"
         R"("result":{"n":null,"error_code":210}}})", 210},
        {R"({"pad":)" + deep + R"(,"answer":{"result":{"error_code":208}}})", std::nullopt},
        // Only a whole valid document counts.
        {at("208") + " trailing", std::nullopt}, {at("208").substr(0, at("208").size() - 1), std::nullopt},
        {at("208") + R"({"x":1})", std::nullopt}, {at("208") + " \n", 208},
        {at("208") + std::string(1, '\0'), std::nullopt}, {at("208") + std::string(1, '\0') + "garbage", std::nullopt},
        {at("208") + std::string(1, '\0') + at("208"), std::nullopt}, {at(R"(208,"s":"\u0000")"), 208},
        {R"({"answer":{"result":{}},"result":{"error_code":208}})", std::nullopt},
        {R"({"answer":[{"result":{"error_code":208}}]})", std::nullopt},
        {"[" + at("208") + "]", std::nullopt},
        {R"({"answer":{"result":{"error_code":)", std::nullopt},
        {"<html>208</html>", std::nullopt}, {"", std::nullopt}};
    for (const auto& [text, expected] : cases) EXPECT_EQ(streamedJSONInteger(text, path), expected) << text.substr(0, 80);
    EXPECT_EQ(streamedJSONInteger(R"({"sv_api_version":3.0})", {"sv_api_version"}), 3);
}

// Each refusal of the decoder: its kind and the dotted path of the key.
TEST(JSONTest, DecodingNamesTheKindAndThePath) {
    const json record = {{"s", "t"}, {"n", nullptr}, {"i", 6.0}, {"f", 6.5}, {"o", {{"b", true}}}};
    KeyedDecoder decoder(record, "r");
    EXPECT_EQ(decoder.required<std::string>("s") + std::to_string(decoder.required<std::int64_t>("i")), "t6");
    EXPECT_TRUE(decoder.nested("o").required<bool>("b") && decoder.contains("n") && !decoder.contains("x"));
    EXPECT_EQ(decoder.optional<std::string>("s"), "t");
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

}  // namespace
