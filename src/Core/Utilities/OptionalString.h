#pragma once
#include <optional>
#include <string>

namespace svsdk {

// Absent stays absent; the empty text becomes absent; any other text stays.
inline std::optional<std::string> nilIfEmpty(std::optional<std::string> text) {
    if (text && text->empty()) return std::nullopt;
    return text;
}

}  // namespace svsdk
