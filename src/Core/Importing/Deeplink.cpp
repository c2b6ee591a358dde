#include "Core/Importing/Deeplink.h"

#include <svsdk/SVBytes.h>

#include "Core/Utilities/Text.h"

namespace svsdk {

Deeplink::Deeplink(std::string_view path) : path_(path), url_(URL::parse(path)) {}

Deeplink::~Deeplink() {
    secureWipe(path_);
    if (url_) url_->wipe();
}

std::string Deeplink::action() const {
    return url_ ? trimmingWhitespaceAndNewlines(url_->decodedHost()) : std::string();
}

std::optional<std::string> Deeplink::value(std::string_view name) const {
    auto item = url_ ? url_->queryItem(name) : std::nullopt;
    if (!item) return std::nullopt;
    std::optional<std::string> result;
    if (item->value && !item->value->empty()) result = *item->value;
    secureWipe(item->name);
    if (item->value) secureWipe(*item->value);
    return result;
}

}  // namespace svsdk
