// URL references, their query items and appended path components.
#include <cstdlib>

#include "Core/Utilities/URL.h"

#include "FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto input = svsdk::fuzz::text(data, size);
    if (auto url = svsdk::URL::parse(input)) {
        url->queryItems();
        (void)url->path();
        if (!svsdk::URL::parse(url->appendingPathComponent(input).absoluteString())) std::abort();
    }
    return 0;
}
