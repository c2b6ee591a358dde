// The challenge of a v3 renewal's first answer, read as hex as the response
// step reads it.
#include "Core/Networking/APIInteractor.h"
#include "Core/Utilities/Encoding.h"

#include "FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    svsdk::fuzz::answer(data, size, [](const svsdk::Bytes& body) {
        (void)svsdk::bytesFromHex(svsdk::decodeRenewChallengeAnswer(body));
    });
    return 0;
}
