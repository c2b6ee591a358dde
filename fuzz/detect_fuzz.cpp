// The kind of an import text and its lines; the first lines and the last
// characters agree with the whole list of each.
#include <algorithm>
#include <cstdlib>

#include "Core/Importing/ImportSource.h"
#include "Core/Utilities/Graphemes.h"

#include "FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto input = svsdk::fuzz::text(data, size);
    svsdk::ImportSource::detect(input);
    auto lines = svsdk::ImportSource::lines(input, SIZE_MAX);
    auto first = svsdk::ImportSource::lines(input, 6);
    if (first.size() != std::min<std::size_t>(6, lines.size()) || !std::equal(first.begin(), first.end(), lines.begin()))
        std::abort();
    auto characters = svsdk::graphemeClusters(input);
    for (std::size_t count : {1, 10}) {
        auto last = svsdk::lastGraphemeClusters(input, count);
        if (last.size() != std::min(count, characters.size()) ||
            !std::equal(last.begin(), last.end(), characters.end() - static_cast<std::ptrdiff_t>(last.size())))
            std::abort();
    }
    return 0;
}
