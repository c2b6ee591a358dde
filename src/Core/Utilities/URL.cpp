#include "Core/Utilities/URL.h"

#include <uriparser/Uri.h>

#include <algorithm>
#include <charconv>
#include <memory>

#include <svsdk/SVBytes.h>

namespace svsdk {

namespace {

std::string textOf(const UriTextRangeA& range) {
    if (!range.first) return {};
    return std::string(range.first, range.afterLast);
}

struct ParsedURI {
    UriUriA uri{};
    bool parsed = false;
    ~ParsedURI() {
        if (parsed) uriFreeUriMembersA(&uri);
    }
};

}  // namespace

std::optional<URL> URL::parse(std::string_view text) {
    if (text.empty()) return std::nullopt;
    ParsedURI parsed;
    const char* errorPosition = nullptr;
    if (uriParseSingleUriExA(&parsed.uri, text.data(), text.data() + text.size(), &errorPosition) != URI_SUCCESS)
        return std::nullopt;
    parsed.parsed = true;
    const UriUriA& uri = parsed.uri;

    URL url;
    url.text_ = std::string(text);
    url.scheme_ = textOf(uri.scheme);
    url.host_ = textOf(uri.hostText);
    if (uri.portText.first && uri.portText.first != uri.portText.afterLast) {
        int port = 0;
        auto [end, error] = std::from_chars(uri.portText.first, uri.portText.afterLast, port);
        if (error != std::errc() || end != uri.portText.afterLast || port > 65535) return std::nullopt;
        url.port_ = port;
    }

    // The path runs from the end of "scheme:" and "//authority" to the first
    // "?" or "#"; in a valid reference neither of those can occur before it.
    std::size_t position = uri.scheme.first ? url.scheme_.size() + 1 : 0;
    if (text.substr(position, 2) == "//") {
        position = text.find_first_of("/?#", position + 2);
        if (position == std::string_view::npos) position = text.size();
    }
    url.pathBegin_ = position;
    url.pathEnd_ = std::min(text.find_first_of("?#", position), text.size());
    if (uri.query.first) url.query_ = textOf(uri.query);
    return url;
}

std::vector<URL::QueryItem> URL::queryItems() const {
    std::vector<QueryItem> items;
    if (!query_ || query_->empty()) return items;
    UriQueryListA* list = nullptr;
    int count = 0;
    if (uriDissectQueryMallocExA(&list, &count, query_->data(), query_->data() + query_->size(), URI_FALSE,
                                 URI_BR_DONT_TOUCH) != URI_SUCCESS)
        return items;
    std::unique_ptr<UriQueryListA, decltype(&uriFreeQueryListA)> owner(list, uriFreeQueryListA);
    for (const UriQueryListA* item = list; item; item = item->next) {
        QueryItem entry{item->key ? item->key : "", std::nullopt};
        if (item->value) entry.value = item->value;
        items.push_back(std::move(entry));
    }
    return items;
}

URL URL::appendingPathComponent(std::string_view component) const {
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string text = text_.substr(0, pathEnd_);
    if (pathEnd_ == pathBegin_ || text.back() != '/') text += '/';
    for (unsigned char c : component) {
        bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
                     c == '_' || c == '~';
        if (plain) {
            text += static_cast<char>(c);
        } else {
            text += '%';
            text += digits[c >> 4];
            text += digits[c & 15];
        }
    }
    text.append(text_, pathEnd_, std::string::npos);
    // Only unreserved characters and escapes were added, so the text stays a
    // valid reference.
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
