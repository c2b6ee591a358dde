// The scoring settings of a v3 answer, then decoded as a host type would be.
#include <string>

#include "Core/Networking/APIInteractor.h"

#include "FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    svsdk::fuzz::answer(data, size, [](const svsdk::Bytes& body) {
        auto settings = svsdk::decodeScoringSettingsAnswer(body);
        (void)settings.settings().dump();
    });
    return 0;
}
