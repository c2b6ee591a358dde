// The renewed user of a v3 renewal's second answer: its "key_json" text,
// decoded as a user.
#include "Core/Networking/APIInteractor.h"

#include "FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    svsdk::fuzz::answer(data, size, [](const svsdk::Bytes& body) {
        svsdk::SVUser::decode(svsdk::decodeRenewedKeyAnswer(body));
    });
    return 0;
}
