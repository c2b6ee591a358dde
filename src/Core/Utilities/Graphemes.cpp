#include "Core/Utilities/Graphemes.h"

#include <memory>

#include <unicode/brkiter.h>
#include <unicode/locid.h>
#include <unicode/utext.h>

namespace svsdk {

std::vector<std::string_view> graphemeClusters(std::string_view utf8) {
    std::vector<std::string_view> clusters;
    if (utf8.empty()) return clusters;

    UErrorCode status = U_ZERO_ERROR;
    // A UTF-8 UText keeps native indexes as byte offsets into `utf8`.
    std::unique_ptr<UText, decltype(&utext_close)> text(
        utext_openUTF8(nullptr, utf8.data(), static_cast<int64_t>(utf8.size()), &status), &utext_close);
    std::unique_ptr<icu::BreakIterator> iterator(
        icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
    if (U_SUCCESS(status)) iterator->setText(text.get(), status);
    if (U_FAILURE(status)) {
        // Without ICU's rules every byte stands alone; ICU fails only when
        // its data is missing, which a working installation never shows.
        for (std::size_t i = 0; i < utf8.size(); ++i) clusters.push_back(utf8.substr(i, 1));
        return clusters;
    }
    int32_t start = iterator->first();
    for (int32_t end = iterator->next(); end != icu::BreakIterator::DONE; start = end, end = iterator->next())
        clusters.push_back(utf8.substr(static_cast<std::size_t>(start), static_cast<std::size_t>(end - start)));
    return clusters;
}

}  // namespace svsdk
