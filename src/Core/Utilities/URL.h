#pragma once
// A URL reference: an absolute URL such as a user's interaction URL, or a
// relative reference. Holds its text as given and the parts read from it.
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace svsdk {

class URL {
public:
    struct QueryItem {
        std::string name;
        // Absent for an item written without "=".
        std::optional<std::string> value;
        friend bool operator==(const QueryItem&, const QueryItem&) = default;
    };

    // A URI reference, absolute or relative. Nothing for the empty text, for
    // text with characters a URI cannot hold (spaces, non-ASCII bytes, a "%"
    // not followed by two hex digits) and for a port beyond 65535.
    static std::optional<URL> parse(std::string_view text);
    // Whether `parse` gives a URL, without copying the text (but once while
    // reading a text of many slashes).
    static bool isValid(std::string_view text);

    // The text as given.
    const std::string& absoluteString() const noexcept { return text_; }
    // Empty for a relative reference.
    const std::string& scheme() const noexcept { return scheme_; }
    // Empty without an authority; an IPv6 address comes without brackets.
    const std::string& host() const noexcept { return host_; }
    // The host with its percent escapes decoded ("user%5Fkey" is "user_key").
    std::string decodedHost() const;
    std::optional<int> port() const noexcept { return port_; }
    // The path as written, percent escapes kept; may be empty.
    std::string path() const { return text_.substr(pathBegin_, pathEnd_ - pathBegin_); }
    // The text after "?" up to any "#", as written; absent without a "?".
    const std::optional<std::string>& query() const noexcept { return query_; }
    // The query's "&"-separated items in order, names and values
    // percent-decoded ("+" stays "+"); empty items are skipped.
    std::vector<QueryItem> queryItems() const;
    // The first of those items named `name`. Items are read one at a time
    // and the others' copies wiped: a long query costs no memory per item.
    std::optional<QueryItem> queryItem(std::string_view name) const;
    bool isAbsolute() const noexcept { return !scheme_.empty(); }

    // This URL with one more path segment: a "/" unless the path already ends
    // with one, then `component` as one segment. The characters a segment
    // holds stay as they are (ASCII letters, digits, "-._~!$&'()*+,;=:@");
    // every other byte is written as %XX, "/" included, and so are the dots of
    // a component "." or "..", so that a component can never add a level or a
    // dot segment. The query and fragment stay after it.
    URL appendingPathComponent(std::string_view component) const;

    // Overwrites the text and its parts (a URL that carried secrets, such as
    // a deep link with keys) and leaves the empty relative reference.
    void wipe() noexcept;

    friend bool operator==(const URL& a, const URL& b) { return a.text_ == b.text_; }

private:
    URL() = default;

    std::string text_;
    std::string scheme_;
    std::string host_;
    std::optional<int> port_;
    std::size_t pathBegin_ = 0;
    std::size_t pathEnd_ = 0;
    std::optional<std::string> query_;
};

}  // namespace svsdk
