// What kind of text an import gets, and the string scanner the XML import reads tags with.
#include <gtest/gtest.h>

#include <svsdk/SVStringScanner.h>

#include "Core/Importing/ImportSource.h"
#include "support/TestEnvironment.h"

using namespace svsdk;
using svsdk::testing::ScopedPlatform;

TEST(ImportSourceTest, DetectsEachKindByTheFirstRuleThatHoldsAndLogsIt) {
    using K = ImportSource;
    const char* recognized[] = {"Plain text is recognized", "JSON is recognized", "XML is recognized",
                                "Deep link is recognized", nullptr};
    std::pair<std::string, K::Kind> cases[] = {
        {"", K::unrecognized}, {"201", K::deepLink}, {"https://example.test/path?x=1#top", K::deepLink},
        {"%zz", K::plainText}, {"a\"b", K::plainText},  // a bad escape or a quote is no URL
        {"{ not json }", K::json}, {" {\"a\": 1}", K::unrecognized}, {"{\"a\": 1}\n", K::unrecognized},
        {"<a b>", K::xml}, {"<a>\n<x/>\n</a>", K::xml}, {"{<>}", K::json}, {"<{}>", K::xml},
        {"201\nSYS\nuser", K::plainText}, {"2011\nSYS", K::unrecognized}, {"20 \nSYS", K::plainText},
        {"201\r\nSYS", K::plainText}, {"201\rSYS", K::plainText}, {"201\xC2\x85SYS", K::plainText},
        {"201\xE2\x80\xA8SYS", K::plainText}, {"201\xE2\x80\xA9SYS", K::plainText},
        {"201\vSYS", K::unrecognized}, {"\n201", K::unrecognized}, {"a b", K::plainText}, {"a\"bc", K::unrecognized},
        // Characters are grapheme clusters; only the first and the last cluster decide JSON and XML.
        {"e\xCC\x81" "e\xCC\x81" "e\xCC\x81\nx", K::plainText}, {"\xF0\x9F\x91\x8D\xF0\x9F\x8F\xBD" "ab\nx", K::plainText},
        {"{a}\xCC\x81", K::plainText}, {"{a\xD8\x80}", K::plainText}, {"{\xD8\x80}", K::unrecognized},
    };
    for (const auto& [text, kind] : cases) {
        ScopedPlatform platform(SVLoggingOptions::debug);
        EXPECT_EQ(ImportSource::detect(text), kind) << text;
        std::vector<std::string> messages{"Checking the source type"};
        if (recognized[kind]) messages.push_back(recognized[kind]);
        std::vector<std::string> logged;
        for (const auto& e : platform.log().entries())
            if (e.category == SVLogCategory::common) logged.push_back(e.message);
        EXPECT_EQ(logged, messages) << text;
    }
    EXPECT_STREQ(ImportSource(K::deepLink).displayName(), "Deep Link");
    EXPECT_STREQ(ImportSource(K::unrecognized).displayName(), "");
}

namespace {
struct Reported {
    std::string content;
    ClosedRange span;
    friend bool operator==(const Reported&, const Reported&) = default;
    friend std::ostream& operator<<(std::ostream& out, const Reported& r) {
        return out << "'" << r.content << "' " << r.span.lowerBound << "-" << r.span.upperBound;
    }
};
}  // namespace

TEST(StringScannerTest, ReportsContentsAndSpansByTheScanRules) {
    using I = Identifier;
    using T = Terminator;
    struct Case {
        std::string text;
        std::vector<Identifier> identifiers;
        std::vector<Terminator> terminators;
        bool multiple;
        std::vector<Reported> expected;
    } cases[] = {
        {"", {"="}, {T::end()}, true, {}}, {"x=12;y=345", {"="}, {";", T::end()}, true, {{"12", {1, 4}}, {"345", {6, 9}}}},
        {"a=b;", {"="}, {T::end(), ";"}, true, {{"b;", {1, 3}}}},  // the first terminator that fits wins
        {"<a></a><a>z</a>", {"<a>"}, {"</a>"}, false, {{"z", {7, 14}}}},  // an empty match neither counts nor retires
        {"aaab", {"aab"}, {T::end()}, true, {}},  // no backtracking
        {"x", {I::start()}, {T::end()}, true, {}}, {"xy", {I::start()}, {T::end()}, true, {{"xy", {0, 1}}}},
        {"[[x]]", {"[", "[["}, {"]"}, true, {{"[x", {0, 3}}}}, {"[[x]]", {"[[", "["}, {"]"}, true, {{"x", {0, 3}}}},
        {"a;b;", {I::start()}, {T::suffix(";")}, true, {{"a;b", {0, 3}}}},
        {"a;b;", {I::start()}, {T::anyString(";")}, true, {{"a", {0, 1}}}},
        {"x=1;y=2;", {"="}, {";"}, false, {{"1", {1, 3}}}}, {"xab=1;", {I::prefix("ab=")}, {";"}, true, {}},
        {"ab=1;=2;", {I::prefix("ab=")}, {";"}, true, {{"1", {0, 4}}}}, {"abc", {I::anyString("")}, {T::end()}, true, {}},
        {"a=bc", {"="}, {}, true, {}}, {"a=bc", {"="}, {T::anyString("")}, true, {{"b", {1, 2}}}},
        {"<a<b<", {"<"}, {"<"}, true, {{"a", {0, 2}}, {"b", {2, 4}}}},
        // Characters are grapheme clusters, equal when canonically equivalent.
        {"=e\xCC\x81;", {"="}, {";"}, true, {{"e\xCC\x81", {0, 2}}}}, {"=x>\xCC\xB8;", {"="}, {">"}, true, {}},
        {"<\xC3\xA9>v</\xC3\xA9>", {"<e\xCC\x81>"}, {"</e\xCC\x81"}, true, {{"v", {0, 6}}}},
        {"=a\r\n;", {"="}, {"\r\n"}, true, {{"a", {0, 2}}}}, {"=a\r;", {"="}, {"\r\n"}, true, {}},
    };
    for (const auto& c : cases) {
        std::vector<Reported> found;
        scan(c.text, {Matcher(c.identifiers, c.terminators, c.multiple, [&](const Substring& content, ClosedRange span) {
                 found.push_back({std::string(content.text), span});
             })});
        EXPECT_EQ(found, c.expected) << c.text;
    }
}

TEST(StringScannerTest, MatchersRunIndependentlyOnTheirOwnCopyAndSlicesKeepPositions) {
    // Handlers change the caller's list, in place and by moving it: the scan
    // goes on with its own copy and never reads freed memory.
    std::vector<std::string> calls;
    std::vector<Matcher> matchers;
    matchers.push_back(Matcher("a", "c", true, [&](const Substring& content, ClosedRange span) {
        calls.push_back("first:" + std::string(content.text) + ":" + std::to_string(span.upperBound));
        matchers[0].allowMultipleMatches = false;
        matchers.push_back(Matcher("x", "y", true, nullptr));
    }));
    matchers.push_back(Matcher("b", "c", false, [&](const Substring& content, ClosedRange) {
        calls.push_back("second:" + std::string(content.text));
    }));
    scan("abxcabc", matchers);
    EXPECT_EQ(calls, (std::vector<std::string>{"first:bx:3", "second:x", "first:b:6"}));
    EXPECT_EQ(matchers.size(), 4u);

    std::string text = "head:x=12;";
    auto found = substrings(text, Identifier("="), Terminator(";"));
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].text.data(), text.data() + 7) << "the content shares the text's characters";
    EXPECT_EQ(found[0].positions, (ClosedRange{7, 8}));
    std::vector<ClosedRange> spans;
    scan(Substring{std::string_view(text).substr(5), {5, 9}}, {Matcher("=", ";", true, [&](const Substring& c, ClosedRange span) {
             EXPECT_EQ(c.positions, (ClosedRange{7, 8}));
             spans.push_back(span);
         })});
    EXPECT_EQ(spans, std::vector<ClosedRange>{(ClosedRange{6, 9})});
}
