// The transaction identifier of a login service's answer.
#include "Core/Networking/APIInteractor.h"

#include "FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    svsdk::fuzz::answer(data, size, [](const svsdk::Bytes& body) { svsdk::decodeLoginTransactionAnswer(body); });
    return 0;
}
