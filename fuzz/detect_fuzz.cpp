// The kind of an import text and its lines.
#include "Core/Importing/ImportSource.h"

#include "FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto input = svsdk::fuzz::text(data, size);
    svsdk::ImportSource::detect(input);
    svsdk::ImportSource::lines(input);
    return 0;
}
