#include "Core/Utilities/URL.h"

#include <uriparser/Uri.h>

#include <algorithm>
#include <charconv>

#include <svsdk/SVBytes.h>

namespace svsdk {

namespace {

struct ParsedURI {
    UriUriA uri{};
    bool parsed = false;
    ~ParsedURI() {
        if (parsed) uriFreeUriMembersA(&uri);
    }
};

// The parts of a URI reference that a URL keeps, as views of its text.
struct Parts {
    std::optional<std::string_view> scheme, query;
    std::string_view host;
    std::optional<int> port;
};

// Past this many slashes a text is parsed through a stand-in (see parseParts).
constexpr std::size_t kSlashesParsedDirectly = 64;

// The parts of `text`; nothing when it is no URI reference or its port is
// beyond 65535. uriparser keeps a node per path segment, many times the bytes
// of a path of many slashes. From the fourth "/" on a slash can only be part of
// a path past its first slash, of a query or of a fragment, where a "z" in its
// place is just as valid and ends no escape; so a text of many slashes is
// parsed as a copy with those slashes made "z", and the parts are read from the
// text at the same offsets.
std::optional<Parts> parseParts(std::string_view text) {
    if (text.empty()) return std::nullopt;
    std::string standIn;
    std::string_view parsedText = text;
    if (static_cast<std::size_t>(std::count(text.begin(), text.end(), '/')) > kSlashesParsedDirectly) {
        standIn.assign(text);
        std::size_t slashes = 0;
        for (char& c : standIn)
            if (c == '/' && ++slashes > 3) c = 'z';
        parsedText = standIn;
    }
    ParsedURI parsed;
    const char* errorPosition = nullptr;
    if (uriParseSingleUriExA(&parsed.uri, parsedText.data(), parsedText.data() + parsedText.size(),
                             &errorPosition) != URI_SUCCESS)
        return std::nullopt;
    parsed.parsed = true;
    const UriUriA& uri = parsed.uri;
    auto view = [&](const UriTextRangeA& range) -> std::optional<std::string_view> {
        if (!range.first) return std::nullopt;
        if (range.first == range.afterLast) return std::string_view();  // may point at a constant of uriparser
        return text.substr(static_cast<std::size_t>(range.first - parsedText.data()),
                           static_cast<std::size_t>(range.afterLast - range.first));
    };

    Parts parts{view(uri.scheme), view(uri.query), view(uri.hostText).value_or(std::string_view()), std::nullopt};
    if (auto port = view(uri.portText); port && !port->empty()) {
        int number = 0;
        auto [end, error] = std::from_chars(port->data(), port->data() + port->size(), number);
        if (error != std::errc() || end != port->data() + port->size() || number > 65535) return std::nullopt;
        parts.port = number;
    }
    return parts;
}

// `text` percent-decoded. A decoded NUL byte stays in the result: a "%00"
// cuts no value short.
std::string unescaped(std::string_view text) {
    std::string copy(text);
    // Decoding only shortens the text: the end it gives is within the copy.
    const char* end = uriUnescapeInPlaceExA(copy.data(), URI_FALSE, URI_BR_DONT_TOUCH);
    copy.resize(static_cast<std::size_t>(end - copy.data()));
    return copy;
}

// Calls `visit` with the query's "&"-separated items in order until it
// returns true: the key up to the first "=", the value after it (none without
// one), each percent-decoded; an empty item gives none. Each item is taken
// apart alone, so a query of many items costs no memory per item.
template <class Visit>
void visitQueryItems(std::string_view query, Visit&& visit) {
    for (std::size_t begin = 0; begin < query.size();) {
        const std::size_t end = std::min(query.find('&', begin), query.size());
        const std::string_view raw = query.substr(begin, end - begin);
        begin = end + 1;
        if (raw.empty()) continue;
        const std::size_t equals = raw.find('=');
        URL::QueryItem item{unescaped(raw.substr(0, equals)), std::nullopt};
        if (equals != std::string_view::npos) item.value = unescaped(raw.substr(equals + 1));
        if (visit(std::move(item))) return;
    }
}

}  // namespace

bool URL::isValid(std::string_view text) { return parseParts(text).has_value(); }

std::optional<URL> URL::parse(std::string_view text) {
    auto parts = parseParts(text);
    if (!parts) return std::nullopt;
    URL url;
    url.text_ = std::string(text);
    url.scheme_ = std::string(parts->scheme.value_or(std::string_view()));
    url.host_ = std::string(parts->host);
    url.port_ = parts->port;

    // The path runs from the end of "scheme:" and "//authority" to the first
    // "?" or "#"; in a valid reference neither of those can occur before it.
    std::size_t position = parts->scheme ? parts->scheme->size() + 1 : 0;
    if (text.substr(position, 2) == "//") {
        position = text.find_first_of("/?#", position + 2);
        if (position == std::string_view::npos) position = text.size();
    }
    url.pathBegin_ = position;
    url.pathEnd_ = std::min(text.find_first_of("?#", position), text.size());
    if (parts->query) url.query_ = std::string(*parts->query);
    return url;
}

std::string URL::decodedHost() const { return unescaped(host_); }

std::vector<URL::QueryItem> URL::queryItems() const {
    std::vector<QueryItem> items;
    if (query_)
        visitQueryItems(*query_, [&](QueryItem item) {
            items.push_back(std::move(item));
            return false;
        });
    return items;
}

std::optional<URL::QueryItem> URL::queryItem(std::string_view name) const {
    std::optional<QueryItem> found;
    if (query_)
        visitQueryItems(*query_, [&](QueryItem item) {
            if (item.name == name) {
                found = std::move(item);
                return true;
            }
            secureWipe(item.name);
            if (item.value) secureWipe(*item.value);
            return false;
        });
    return found;
}

URL URL::appendingPathComponent(std::string_view component) const {
    static constexpr char digits[] = "0123456789ABCDEF";
    static constexpr std::string_view kSegmentCharacters = "-._~!$&'()*+,;=:@";
    // A component of dots alone would be a dot segment: its dots are escaped too.
    const bool dotSegment = component == "." || component == "..";
    std::string text = text_.substr(0, pathEnd_);
    if (pathEnd_ == pathBegin_ || text.back() != '/') text += '/';
    for (unsigned char c : component) {
        bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                     kSegmentCharacters.find(static_cast<char>(c)) != std::string_view::npos;
        if (plain && !(dotSegment && c == '.')) {
            text += static_cast<char>(c);
        } else {
            text += '%';
            text += digits[c >> 4];
            text += digits[c & 15];
        }
    }
    text.append(text_, pathEnd_, std::string::npos);
    // Only characters a path segment holds and escapes were added, so the
    // text stays a valid reference.
    return parse(text).value();
}

void URL::wipe() noexcept {
    secureWipe(text_);
    secureWipe(scheme_);
    secureWipe(host_);
    if (query_) secureWipe(*query_);
    query_.reset();
    port_.reset();
    pathBegin_ = pathEnd_ = 0;
}

}  // namespace svsdk
