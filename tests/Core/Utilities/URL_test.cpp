#include <gtest/gtest.h>

#include "Core/Utilities/URL.h"

using namespace svsdk;

namespace {
URL url(std::string_view text) { return URL::parse(text).value(); }
using Item = URL::QueryItem;
}  // namespace

TEST(URLTest, ParsesAbsoluteAndRelativeReferencesIntoTheirParts) {
    auto server = url("https://sign.example.com:8443/api/jsonrequest_v3?lang=en#top");
    EXPECT_EQ(server.absoluteString(), "https://sign.example.com:8443/api/jsonrequest_v3?lang=en#top");
    EXPECT_TRUE(server.isAbsolute());
    EXPECT_EQ(server.scheme(), "https");
    EXPECT_EQ(server.host(), "sign.example.com");
    EXPECT_EQ(server.port(), 8443);
    EXPECT_EQ(server.path(), "/api/jsonrequest_v3");
    EXPECT_EQ(server.query(), "lang=en");

    auto plain = url("http://127.0.0.1");
    EXPECT_FALSE(plain.port() || plain.query());
    EXPECT_EQ(plain.path(), "");
    auto ipv6 = url("http://user:pw@[::1]:80/p/");
    EXPECT_EQ(ipv6.host(), "::1");
    EXPECT_EQ(ipv6.port(), 80);
    EXPECT_EQ(url("http://h:/x").port(), std::nullopt);

    auto key = url("user_key?x=1");
    EXPECT_FALSE(key.isAbsolute());
    EXPECT_EQ(key.host(), "");
    EXPECT_EQ(key.path(), "user_key");
    EXPECT_EQ(key.query(), "x=1");
    EXPECT_EQ(url("a/b/../c").path(), "a/b/../c");
    EXPECT_EQ(url("//host/p").host(), "host");
    EXPECT_EQ(url("//host/p").path(), "/p");
    EXPECT_EQ(url("s:////").host(), "");
    EXPECT_EQ(url("?").query(), "");
    EXPECT_EQ(url("#frag").path(), "");
    EXPECT_EQ(url("mailto:a@b.c").path(), "a@b.c");
}

TEST(URLTest, RefusesTextThatIsNoURIReference) {
    for (const char* text : {"", "not a url", "http://h/a b", "http://h/\xc3\xa4", "a%zz", "%4", "http://h:65536/",
                             "http://h:99999999999/", "http://[::1/", "http://h/\"q\"", "a\tb"})
        EXPECT_FALSE(URL::parse(text)) << '"' << text << '"';
    EXPECT_FALSE(URL::parse(std::string_view("a\0b", 3)));
    EXPECT_TRUE(URL::parse("http://h:65535/"));

    // A path of many segments (read through a stand-in) gives the same parts and refusals.
    std::string segments;
    for (int i = 0; i < 100; ++i) segments += "a/";
    auto many = url("https://h:1/" + segments + "b?q=/x/#/f");
    EXPECT_EQ(many.host(), "h");
    EXPECT_EQ(many.port(), 1);
    EXPECT_EQ(many.path(), "/" + segments + "b");
    EXPECT_EQ(many.query(), "q=/x/");
    EXPECT_FALSE(URL::parse("https://h/" + segments + "%4/1")) << "a slash cuts the escape";
    EXPECT_EQ(url("//[::1]/" + segments).host(), "::1");
}

TEST(URLTest, QueryItemsAreDecodedAndKeptInOrder) {
    auto address = url("https://h/p?b=2&a=%C3%A4%20x&flag&empty=&a=%2B+&&z=%3D");
    EXPECT_EQ(address.queryItems(), (std::vector<Item>{
                                        {"b", "2"},
                                        {"a", "\xc3\xa4 x"},
                                        {"flag", std::nullopt},
                                        {"empty", ""},
                                        {"a", "++"},
                                        {"z", "="},
                                    }));
    EXPECT_TRUE(url("https://h/p").queryItems().empty());
    EXPECT_TRUE(url("https://h/p?").queryItems().empty());
    EXPECT_EQ(url("https://h/p?n%20m=v#x=y").queryItems(), (std::vector<Item>{{"n m", "v"}}));
    EXPECT_EQ(address.queryItem("a"), (Item{"a", "\xc3\xa4 x"})) << "the first of its name";
    EXPECT_EQ(address.queryItem("flag"), (Item{"flag", std::nullopt}));
    EXPECT_FALSE(address.queryItem("c"));
}

TEST(URLTest, AppendedComponentsAreOneEscapedSegment) {
    auto base = url("https://h/api");
    EXPECT_EQ(base.appendingPathComponent("users").absoluteString(), "https://h/api/users");
    EXPECT_EQ(url("https://h/api/").appendingPathComponent("users").absoluteString(), "https://h/api/users");
    EXPECT_EQ(url("https://h").appendingPathComponent("users").absoluteString(), "https://h/users");

    EXPECT_EQ(base.appendingPathComponent("a/b").absoluteString(), "https://h/api/a%2Fb");
    EXPECT_EQ(base.appendingPathComponent("..").absoluteString(), "https://h/api/%2E%2E");
    EXPECT_EQ(base.appendingPathComponent(".").absoluteString(), "https://h/api/%2E");
    EXPECT_EQ(base.appendingPathComponent("x y").absoluteString(), "https://h/api/x%20y");
    EXPECT_EQ(base.appendingPathComponent("a?b#c%d").absoluteString(), "https://h/api/a%3Fb%23c%25d");
    EXPECT_EQ(base.appendingPathComponent("\xc3\xa4\xe2\x82\xac").absoluteString(), "https://h/api/%C3%A4%E2%82%AC");
    EXPECT_EQ(base.appendingPathComponent("Az09-_~").absoluteString(), "https://h/api/Az09-_~");
    EXPECT_EQ(base.appendingPathComponent("").absoluteString(), "https://h/api/");

    // In order, and the query and fragment stay at the end.
    auto chained = url("https://h:8080/v3/?mode=x#f").appendingPathComponent("system 1").appendingPathComponent("u/1");
    EXPECT_EQ(chained.absoluteString(), "https://h:8080/v3/system%201/u%2F1?mode=x#f");
    EXPECT_EQ(chained.path(), "/v3/system%201/u%2F1");
    EXPECT_EQ(chained.queryItems(), (std::vector<Item>{{"mode", "x"}}));

    EXPECT_EQ(url("user_key").appendingPathComponent("k").absoluteString(), "user_key/k");
}
