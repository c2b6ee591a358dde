#include "Core/Importing/Deeplink.h"

#include <svsdk/SVBytes.h>

#include "Core/Utilities/Text.h"

namespace svsdk {

Deeplink::Deeplink(std::string_view path) : path_(path), url_(URL::parse(path)) {}

Deeplink::~Deeplink() {
    secureWipe(path_);
    if (url_) url_->wipe();
}

std::string Deeplink::action() const { return url_ ? trimmingWhitespaceAndNewlines(url_->host()) : std::string(); }

std::optional<std::string> Deeplink::value(std::string_view name) const {
    if (!url_) return std::nullopt;
    auto items = url_->queryItems();
    std::optional<std::string> result;
    for (auto& item : items)
        if (item.name == name) {
            if (item.value && !item.value->empty()) result = *item.value;
            break;
        }
    for (auto& item : items) {
        secureWipe(item.name);
        if (item.value) secureWipe(*item.value);
    }
    return result;
}

}  // namespace svsdk
