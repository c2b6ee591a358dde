// The transaction of a v3 "get data" answer.
#include "Core/Networking/APIInteractor.h"

#include "FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    svsdk::fuzz::answer(data, size, [](const svsdk::Bytes& body) {
        svsdk::decodeTransactionDataAnswer(body, "t-1", "u-1", "system-1");
    });
    return 0;
}
