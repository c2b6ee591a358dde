#include <gtest/gtest.h>

#include "Core/Importing/ImportSource.h"
#include "support/TestEnvironment.h"

using namespace svsdk;
using svsdk::testing::ScopedPlatform;

namespace {
const char* name(ImportSource source) {
    static constexpr const char* names[] = {"plainText", "json", "xml", "deepLink", "unrecognized"};
    return names[source];
}
}  // namespace

TEST(ImportSourceTest, DetectsEachKindByTheFirstRuleThatHolds) {
    struct Case {
        std::string text;
        ImportSource expected;
    } cases[] = {
        {"", ImportSource::unrecognized},
        // A URL reference, absolute or relative, is a deep link before anything else.
        {"201", ImportSource::deepLink},
        {"abc", ImportSource::deepLink},
        {"svsdk://user_key?key_json=%7B%22a%22%3A1%7D", ImportSource::deepLink},
        {"https://example.test/path?x=1#top", ImportSource::deepLink},
        {"%zz", ImportSource::plainText},  // a bad escape stops the URL parse
        {"a\"b", ImportSource::plainText},  // so does a double quote
        // JSON and XML by their first and last characters.
        {R"({"a": 1})", ImportSource::json},
        {"{ not json at all }", ImportSource::json},
        {" {\"a\": 1}", ImportSource::unrecognized},
        {"{\"a\": 1}\n", ImportSource::unrecognized},
        {"<a>", ImportSource::xml},
        {"<keyData>\n<x/>\n</keyData>", ImportSource::xml},
        {"<a b>", ImportSource::xml},
        {"{<>}", ImportSource::json},
        // Plain text: the first line has exactly three characters.
        {"201\nSYS\nuser", ImportSource::plainText},
        {"2011\nSYS\nuser", ImportSource::unrecognized},
        {"20 \nSYS", ImportSource::plainText},
        {"201\r\nSYS", ImportSource::plainText},
        {"201\rSYS", ImportSource::plainText},
        {"201\xC2\x85SYS", ImportSource::plainText},      // U+0085
        {"201\xE2\x80\xA8SYS", ImportSource::plainText},  // U+2028
        {"201\xE2\x80\xA9SYS", ImportSource::plainText},  // U+2029
        {"201\vSYS", ImportSource::unrecognized},         // a vertical tab ends no line
        {"201\fSYS", ImportSource::unrecognized},         // nor does a form feed
        {"\n201", ImportSource::unrecognized},
        {"a b", ImportSource::plainText},
        {"a b\n", ImportSource::plainText},
        // Characters are grapheme clusters, not bytes or code points.
        {"\xC3\xA9\xC3\xA9\xC3\xA9", ImportSource::plainText},                       // three 2-byte letters
        {"e\xCC\x81" "e\xCC\x81" "e\xCC\x81\nx", ImportSource::plainText},          // three letters with accents
        {"\xF0\x9F\x91\x8D\xF0\x9F\x8F\xBD" "ab\nx", ImportSource::plainText},     // a toned emoji and two letters
        {"{a}\xCC\x81", ImportSource::plainText},  // the last character is "}" with an accent: not JSON
        {"{a\xD8\x80}", ImportSource::plainText},  // U+0600 joins the "}" after it: "{", "a", and that
        {"{\xD8\x80}", ImportSource::unrecognized},  // likewise with no two ASCII characters in a row
    };
    for (const auto& c : cases)
        EXPECT_STREQ(name(ImportSource::detect(c.text)), name(c.expected)) << "text: " << c.text;
}

TEST(ImportSourceTest, LinesFollowThePlatformLineRules) {
    using Lines = std::vector<std::string>;
    auto lines = [](std::string_view text) { return ImportSource::lines(text, 9); };
    EXPECT_EQ(lines(""), Lines{});
    EXPECT_EQ(lines("\n"), Lines{""});
    EXPECT_EQ(lines("a\n\nb\n"), (Lines{"a", "", "b"}));
    EXPECT_EQ(lines("a\r\nb\n\rc"), (Lines{"a", "b", "", "c"}));
    EXPECT_EQ(lines("a\xC2\x85" "b\xE2\x80\xA8" "c\xE2\x80\xA9" "d"), (Lines{"a", "b", "c", "d"}));
    EXPECT_EQ(lines(" a \t"), Lines{" a \t"}) << "nothing is trimmed";
    EXPECT_EQ(lines("\xC2\xA0\xE2\x80\xA7"), Lines{"\xC2\xA0\xE2\x80\xA7"}) << "near misses stay";
    EXPECT_EQ(ImportSource::lines("a\nb\nc", 2), (Lines{"a", "b"})) << "only the lines asked for";
    EXPECT_EQ(ImportSource::lines("a\nb", 2), (Lines{"a", "b"}));
}

TEST(ImportSourceTest, LogsTheCheckAndTheKindInCommon) {
    struct Case {
        std::string text;
        std::vector<std::string> messages;
    } cases[] = {
        {"abc", {"Checking the source type", "Deep link is recognized"}},
        {"{}", {"Checking the source type", "JSON is recognized"}},
        {"<>", {"Checking the source type", "XML is recognized"}},
        {"201\n", {"Checking the source type", "Plain text is recognized"}},
        {"", {"Checking the source type"}},
    };
    for (const auto& c : cases) {
        ScopedPlatform platform(SVLoggingOptions::debug);
        ImportSource::detect(c.text);
        std::vector<std::string> messages;
        for (const auto& e : platform.log().entries()) {
            EXPECT_EQ(e.category, SVLogCategory::common);
            EXPECT_EQ(e.type, SVLogType::defaultType);
            messages.push_back(e.message);
        }
        EXPECT_EQ(messages, c.messages) << c.text;
    }
}
