#pragma once
// A deep-link text: its action (the host) and its query items.
#include <optional>
#include <string>
#include <string_view>

#include "Core/Utilities/URL.h"

namespace svsdk {

class Deeplink {
public:
    explicit Deeplink(std::string_view path);
    // Wipes its copies of the text: a deep link may carry keys.
    ~Deeplink();
    Deeplink(const Deeplink&) = delete;
    Deeplink& operator=(const Deeplink&) = delete;

    // The whole text, unchanged.
    const std::string& path() const { return path_; }
    // The parsed text; absent when it does not parse.
    const std::optional<URL>& urlComponents() const { return url_; }
    // The host, percent-decoded and trimmed of white space and newlines;
    // empty without one.
    std::string action() const;
    // The percent-decoded value of the first query item named exactly `name`;
    // nothing when there is no such item or its value is missing or empty.
    // Later items of the same name are never looked at.
    std::optional<std::string> value(std::string_view name) const;

private:
    std::string path_;
    std::optional<URL> url_;
};

}  // namespace svsdk
