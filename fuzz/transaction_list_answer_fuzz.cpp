// The transaction list of an answer, as both protocols read it (the autosign
// list too).
#include "Core/Networking/APIInteractor.h"

#include "FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    svsdk::fuzz::answer(data, size, [](const svsdk::Bytes& body) { svsdk::decodeTransactionListAnswer(body); });
    return 0;
}
