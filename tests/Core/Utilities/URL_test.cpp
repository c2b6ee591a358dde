#include <gtest/gtest.h>

#include "Core/Utilities/URL.h"

using namespace svsdk;

namespace {
URL url(std::string_view text) { return URL::parse(text).value(); }
using Item = URL::QueryItem;

TEST(URLTest, ParsesReferencesIntoTheirPartsAndRefusesOtherText) {
    struct Case {
        std::string text, scheme, host;
        std::optional<int> port;
        std::string path;
        std::optional<std::string> query;
    } cases[] = {
        {"https://sign.example.com:8443/api/jsonrequest_v3?lang=en#top", "https", "sign.example.com", 8443,
         "/api/jsonrequest_v3", "lang=en"},
        {"http://127.0.0.1", "http", "127.0.0.1", std::nullopt, "", std::nullopt},
        {"http://user:pw@[::1]:80/p/", "http", "::1", 80, "/p/", std::nullopt},
        {"http://h:/x", "http", "h", std::nullopt, "/x", std::nullopt},
        {"user_key?x=1", "", "", std::nullopt, "user_key", "x=1"},
        {"a/b/../c", "", "", std::nullopt, "a/b/../c", std::nullopt},
        {"//host/p", "", "host", std::nullopt, "/p", std::nullopt},
        {"s:////", "s", "", std::nullopt, "//", std::nullopt},
        {"?", "", "", std::nullopt, "", ""},
        {"#frag", "", "", std::nullopt, "", std::nullopt},
        {"mailto:a@b.c", "mailto", "", std::nullopt, "a@b.c", std::nullopt},
    };
    for (const auto& c : cases) {
        const URL parsed = url(c.text);
        EXPECT_EQ(parsed.absoluteString(), c.text);
        EXPECT_EQ(parsed.isAbsolute(), !c.scheme.empty()) << c.text;
        EXPECT_EQ(parsed.scheme(), c.scheme) << c.text;
        EXPECT_EQ(parsed.host(), c.host) << c.text;
        EXPECT_EQ(parsed.port(), c.port) << c.text;
        EXPECT_EQ(parsed.path(), c.path) << c.text;
        EXPECT_EQ(parsed.query(), c.query) << c.text;
    }
    for (const char* text : {"", "not a url", "http://h/a b", "http://h/\xc3\xa4", "a%zz", "%4", "http://h:65536/",
                             "http://h:99999999999/", "http://[::1/", "http://h/\"q\"", "a\tb"})
        EXPECT_FALSE(URL::parse(text)) << '"' << text << '"';
    EXPECT_FALSE(URL::parse(std::string_view("a\0b", 3)));
    EXPECT_TRUE(URL::parse("http://h:65535/"));

    // A path of many segments (read through a stand-in) gives the same parts and refusals.
    std::string segments;
    for (int i = 0; i < 100; ++i) segments += "a/";
    auto many = url("https://h:1/" + segments + "b?q=/x/#/f");
    EXPECT_EQ(many.host() + ":" + std::to_string(*many.port()) + many.path() + "?" + *many.query(),
              "h:1/" + segments + "b?q=/x/");
    EXPECT_FALSE(URL::parse("https://h/" + segments + "%4/1")) << "a slash cuts the escape";
    EXPECT_EQ(url("//[::1]/" + segments).host(), "::1");
}

TEST(URLTest, QueryItemsAreDecodedAndKeptInOrder) {
    auto address = url("https://h/p?b=2&a=%C3%A4%20x&flag&empty=&a=%2B+&&z=%3D");
    EXPECT_EQ(address.queryItems(), (std::vector<Item>{{"b", "2"}, {"a", "\xc3\xa4 x"}, {"flag", std::nullopt},
                                                       {"empty", ""}, {"a", "++"}, {"z", "="}}));
    EXPECT_TRUE(url("https://h/p").queryItems().empty());
    EXPECT_TRUE(url("https://h/p?").queryItems().empty());
    EXPECT_EQ(url("https://h/p?n%20m=v#x=y").queryItems(), (std::vector<Item>{{"n m", "v"}}));
    EXPECT_EQ(url("https://h/p?k%00=a%00b=c").queryItems(), (std::vector<Item>{{std::string("k\0", 2),
                                                                               std::string("a\0b=c", 5)}}))
        << "a decoded NUL byte cuts nothing short";
    EXPECT_EQ(address.queryItem("a"), (Item{"a", "\xc3\xa4 x"})) << "the first of its name";
    EXPECT_EQ(address.queryItem("flag"), (Item{"flag", std::nullopt}));
    EXPECT_FALSE(address.queryItem("c"));
}

TEST(URLTest, AppendedComponentsAreOneEscapedSegment) {
    const std::pair<const char*, const char*> components[] = {
        {"users", "users"}, {"a/b", "a%2Fb"}, {"..", "%2E%2E"}, {".", "%2E"}, {"...", "..."}, {"x y", "x%20y"},
        {"a?b#c%d", "a%3Fb%23c%25d"}, {"\xc3\xa4\xe2\x82\xac", "%C3%A4%E2%82%AC"}, {"Az09-_~", "Az09-_~"}, {"", ""},
        {"ann.lee@bank+1", "ann.lee@bank+1"}, {"!$&'()*,;=:", "!$&'()*,;=:"},
        {"\"<>[\\]^`{|}\x01\x7f", "%22%3C%3E%5B%5C%5D%5E%60%7B%7C%7D%01%7F"}};
    for (const auto& [component, escaped] : components)
        EXPECT_EQ(url("https://h/api").appendingPathComponent(component).absoluteString(),
                  std::string("https://h/api/") + escaped);
    EXPECT_EQ(url("https://h/api/").appendingPathComponent("users").absoluteString(), "https://h/api/users");
    EXPECT_EQ(url("https://h").appendingPathComponent("users").absoluteString(), "https://h/users");
    EXPECT_EQ(url("user_key").appendingPathComponent("k").absoluteString(), "user_key/k");
    // In order, and the query and fragment stay at the end.
    auto chained = url("https://h:8080/v3/?mode=x#f").appendingPathComponent("system 1").appendingPathComponent("u/1");
    EXPECT_EQ(chained.absoluteString(), "https://h:8080/v3/system%201/u%2F1?mode=x#f");
    EXPECT_EQ(chained.path(), "/v3/system%201/u%2F1");
    EXPECT_EQ(chained.queryItems(), (std::vector<Item>{{"mode", "x"}}));
}

}  // namespace
