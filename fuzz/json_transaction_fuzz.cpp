// The JSONTransactionImporter: it never throws, crashes or hangs, whatever the text.
#include "Core/Importing/Importers.h"

#include "FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto input = svsdk::fuzz::text(data, size);
    svsdk::JSONTransactionImporter().importTransaction(input);
    return 0;
}
