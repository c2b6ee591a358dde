// An SVUser from its JSON text.
#include <svsdk/SVError.h>
#include <svsdk/SVUser.h>

#include "FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto input = svsdk::fuzz::text(data, size);
    try {
        svsdk::SVUser::decode(input);
    } catch (const svsdk::SVDecodingError&) {
    } catch (const svsdk::SVError&) {
    }
    return 0;
}
