// Strict Base64: what decodes encodes to a text that decodes to the same bytes (the unused
// bits of a last character need not be zero).
#include <cstdlib>

#include "Core/Utilities/Encoding.h"

#include "FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto input = svsdk::fuzz::text(data, size);
    if (auto bytes = svsdk::base64Decode(input))
        if (svsdk::base64Decode(svsdk::base64Encode(*bytes)) != bytes) std::abort();
    return 0;
}
