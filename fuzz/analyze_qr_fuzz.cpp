// The facade's QR analysis.
#include <string>

#include <svsdk/Common/SVSDK.h>

#include "FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto input = svsdk::fuzz::text(data, size);
    svsdk::SVSDK::analyze(std::string(input));
    return 0;
}
