#pragma once
// What the importers share: the line list with wiped copies, and the guard
// that keeps an import from throwing.
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include <svsdk/SVBytes.h>
#include <svsdk/SVResult.h>

#include "Core/Importing/ImportSource.h"
#include "Core/Logger.h"

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

// The result of `import`, or `fallback` (nothing) with the reason logged in
// `category` when it throws anything (a failing random source, memory).
template <class F, class R = std::invoke_result_t<F&>>
R guarded(SVLogCategory category, F&& import, R fallback = R()) noexcept {
    try {
        return import();
    } catch (...) {
        try {
            Logger::error(category, SVFailure::fromCurrentException().description());
        } catch (...) {
        }
    }
    return fallback;
}

}  // namespace svsdk::importing
