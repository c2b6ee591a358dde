// Hex text: what decodes encodes back to the same text in lower case.
#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <string>

#include "Core/Utilities/Encoding.h"

#include "FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto input = svsdk::fuzz::text(data, size);
    if (auto bytes = svsdk::bytesFromHex(input)) {
        std::string lower(input);
        std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
        if (svsdk::hexString(*bytes) != lower) std::abort();
    }
    return 0;
}
