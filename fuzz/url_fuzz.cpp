// URL references, their query items and appended path components. A text of
// many slashes, parsed through a stand-in, reads as uriparser reads it itself.
#include <uriparser/Uri.h>

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <string>

#include "Core/Utilities/URL.h"

#include "FuzzSupport.h"

namespace {

// What uriparser finds in the text itself: whether it is a reference with a
// port up to 65535, and its query ("-" for none).
std::pair<bool, std::string> direct(std::string_view text) {
    UriUriA uri;
    const char* error = nullptr;
    if (text.empty() || uriParseSingleUriExA(&uri, text.data(), text.data() + text.size(), &error) != URI_SUCCESS)
        return {false, ""};
    std::string port(uri.portText.first ? uri.portText.first : "", uri.portText.first ? uri.portText.afterLast : "");
    std::string query = uri.query.first ? std::string(uri.query.first, uri.query.afterLast) : "-";
    uriFreeUriMembersA(&uri);
    int number = 0;
    auto [end, failure] = std::from_chars(port.data(), port.data() + port.size(), number);
    return {port.empty() || (failure == std::errc() && end == port.data() + port.size() && number <= 65535), query};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto input = svsdk::fuzz::text(data, size);
    auto url = svsdk::URL::parse(input);
    auto [valid, query] = direct(input);
    if (url.has_value() != valid || svsdk::URL::isValid(input) != valid) std::abort();
    if (url) {
        if (url->query().value_or("-") != query) std::abort();
        auto items = url->queryItems();
        if (!items.empty()) {
            auto first = std::find_if(items.begin(), items.end(), [&](auto& item) { return item.name == items.back().name; });
            if (url->queryItem(items.back().name) != *first) std::abort();
        }
        (void)url->path();
        if (url->decodedHost().size() > url->host().size()) std::abort();
        if (!svsdk::URL::parse(url->appendingPathComponent(input).absoluteString())) std::abort();
    }
    return 0;
}
