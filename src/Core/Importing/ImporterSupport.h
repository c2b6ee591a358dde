#pragma once
// What the importers share: the line list with wiped copies, and the guard
// that keeps an import from throwing.
#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <svsdk/SVBytes.h>

#include "Core/Importing/ImportSource.h"
#include "Core/Diagnostics/Logger.h"

namespace svsdk::importing {

// Texts that may hold keys, wiped when dropped.
struct WipedTexts {
    std::vector<std::string> texts;
    WipedTexts() = default;
    explicit WipedTexts(std::vector<std::string> texts) : texts(std::move(texts)) {}
    ~WipedTexts() {
        for (auto& text : texts) secureWipe(text);
    }
    WipedTexts(const WipedTexts&) = delete;
    WipedTexts& operator=(const WipedTexts&) = delete;
    std::size_t size() const { return texts.size(); }
    const std::string& operator[](std::size_t i) const { return texts[i]; }
};

// The result of `import`, or nothing with the reason logged in `category`
// when it throws (a failing random source, memory).
template <class F>
auto guarded(SVLogCategory category, F&& import) noexcept -> decltype(import()) {
    try {
        return import();
    } catch (const std::exception& e) {
        try {
            Logger::error(category, e.what());
        } catch (...) {
        }
    } catch (...) {
    }
    return std::nullopt;
}

}  // namespace svsdk::importing
