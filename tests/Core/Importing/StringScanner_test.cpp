#include <gtest/gtest.h>

#include <svsdk/SVStringScanner.h>

using namespace svsdk;

namespace {

struct Reported {
    std::string content;
    ClosedRange span;
    friend bool operator==(const Reported&, const Reported&) = default;
    friend std::ostream& operator<<(std::ostream& out, const Reported& r) {
        return out << "'" << r.content << "' " << r.span.lowerBound << "-" << r.span.upperBound;
    }
};

std::vector<Reported> matches(std::string_view text, std::vector<Identifier> identifiers,
                              std::vector<Terminator> terminators, bool multiple = true) {
    std::vector<Reported> result;
    scan(text, {Matcher(std::move(identifiers), std::move(terminators), multiple,
                        [&](const Substring& content, ClosedRange span) {
                            result.push_back({std::string(content.text), span});
                        })});
    return result;
}

}  // namespace

TEST(StringScannerTest, ReportsContentsAndSpansByTheScanRules) {
    using I = Identifier;
    using T = Terminator;
    struct Case {
        const char* name;
        std::string text;
        std::vector<Identifier> identifiers;
        std::vector<Terminator> terminators;
        bool multiple;
        std::vector<Reported> expected;
    } cases[] = {
        {"empty text", "", {"="}, {T::end()}, true, {}},
        {"two fields", "x=12;y=345", {"="}, {";", T::end()}, true, {{"12", {1, 4}}, {"345", {6, 9}}}},
        {"first terminator wins", "a=b;", {"="}, {";", T::end()}, true, {{"b", {1, 3}}}},
        {"end before ;", "a=b;", {"="}, {T::end(), ";"}, true, {{"b;", {1, 3}}}},
        {"empty match is skipped", "<a></a><a>z</a>", {"<a>"}, {"</a>"}, true, {{"z", {7, 14}}}},
        {"empty match does not retire", "<a></a><a>z</a>", {"<a>"}, {"</a>"}, false, {{"z", {7, 14}}}},
        {"no backtracking", "aaab", {"aab"}, {T::end()}, true, {}},
        {"start and end over one character", "x", {I::start()}, {T::end()}, true, {}},
        {"start and end over two", "xy", {I::start()}, {T::end()}, true, {{"xy", {0, 1}}}},
        {"shorter identifier first", "[[x]]", {"[", "[["}, {"]"}, true, {{"[x", {0, 3}}}},
        {"longer identifier first", "[[x]]", {"[[", "["}, {"]"}, true, {{"x", {0, 3}}}},
        {"suffix terminator", "a;b;", {I::start()}, {T::suffix(";")}, true, {{"a;b", {0, 3}}}},
        {"start wins once", "a;b;", {I::start()}, {T::anyString(";")}, true, {{"a", {0, 1}}}},
        {"only the first when single", "x=1;y=2;", {"="}, {";"}, false, {{"1", {1, 3}}}},
        {"prefix only at the start", "ab=1;=2;", {I::prefix("ab=")}, {";"}, true, {{"1", {0, 4}}}},
        {"prefix elsewhere never", "xab=1;", {I::prefix("ab=")}, {";"}, true, {}},
        {"empty plain identifier never wins", "abc", {I::anyString("")}, {T::end()}, true, {}},
        {"no identifiers", "abc", {}, {T::end()}, true, {}},
        {"no terminators", "a=bc", {"="}, {}, true, {}},
        {"empty plain terminator ends at once", "a=bc", {"="}, {T::anyString("")}, true, {{"b", {1, 2}}}},
        {"identifier at the last character", "ab=", {"="}, {T::end()}, true, {}},
        {"terminator begins the next identifier", "<a<b<", {"<"}, {"<"}, true, {{"a", {0, 2}}, {"b", {2, 4}}}},
        // Characters are grapheme clusters, equal when canonically equivalent.
        {"accented letters are one character", "=e\xCC\x81;", {"="}, {";"}, true, {{"e\xCC\x81", {0, 2}}}},
        {"canonical equivalence", "<\xC3\xA9>v</\xC3\xA9>", {"<e\xCC\x81>"}, {"</e\xCC\x81"}, true,
         {{"v", {0, 6}}}},
        {"a combining mark changes the character", "=x>\xCC\xB8;", {"="}, {">"}, true, {}},
        {"CR LF is one character", "=a\r\n;", {"="}, {"\r\n"}, true, {{"a", {0, 2}}}},
        {"a lone CR is not CR LF", "=a\r;", {"="}, {"\r\n"}, true, {}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(matches(c.text, c.identifiers, c.terminators, c.multiple), c.expected) << c.name;
}

TEST(StringScannerTest, MatchersRunIndependentlyInListOrder) {
    std::vector<std::string> calls;
    auto record = [&](const char* who) {
        return [&calls, who](const Substring& content, ClosedRange span) {
            calls.push_back(std::string(who) + ":" + std::string(content.text) + ":" +
                            std::to_string(span.lowerBound) + "-" + std::to_string(span.upperBound));
        };
    };
    scan("abxc", {Matcher("a", "c", true, record("first")), Matcher("b", "c", true, record("second"))});
    EXPECT_EQ(calls, (std::vector<std::string>{"first:bx:0-3", "second:x:1-3"}));

    // Once every matcher is retired the scan stops: nothing after the first match is looked at.
    calls.clear();
    scan("=1;=2;", {Matcher("=", ";", false, record("single"))});
    EXPECT_EQ(calls, std::vector<std::string>{"single:1:0-2"});

    calls.clear();
    scan("abc", {});
    EXPECT_TRUE(calls.empty());
}

TEST(StringScannerTest, ContentsViewTheTextAndSlicesKeepTheirPositions) {
    std::string text = "head:x=12;";
    auto found = substrings(text, Identifier("="), Terminator(";"));
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].text.data(), text.data() + 7) << "the content shares the text's characters";
    EXPECT_EQ(found[0].positions, (ClosedRange{7, 8}));

    Substring slice{std::string_view(text).substr(5), {5, 9}};
    std::vector<ClosedRange> spans;
    scan(slice, {Matcher("=", ";", true, [&](const Substring& content, ClosedRange span) {
             EXPECT_EQ(content.positions, (ClosedRange{7, 8}));
             spans.push_back(span);
         })});
    EXPECT_EQ(spans, std::vector<ClosedRange>{(ClosedRange{6, 9})});
}

TEST(StringScannerTest, HandlersMayChangeTheCallersMatchers) {
    // The scan reads its own copy: a change to the caller's list, in place or
    // one that moves it, neither changes the scan nor leaves it reading freed memory.
    std::vector<std::string> found;
    std::vector<Matcher> matchers;
    matchers.push_back(Matcher("=", ";", true, [&](const Substring& content, ClosedRange) {
        found.emplace_back(content.text);
        matchers[0].allowMultipleMatches = false;
        matchers.push_back(Matcher("x", "y", true, nullptr));
    }));
    scan("a=1;b=2;", matchers);
    EXPECT_EQ(found, (std::vector<std::string>{"1", "2"}));
    EXPECT_EQ(matchers.size(), 3u);
}
