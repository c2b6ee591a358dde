// An SVTransaction from its JSON text.
#include <svsdk/SVError.h>
#include <svsdk/SVTransaction.h>

#include "FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto input = svsdk::fuzz::text(data, size);
    try {
        svsdk::SVTransaction::decode(input);
    } catch (const svsdk::SVDecodingError&) {
    }
    return 0;
}
