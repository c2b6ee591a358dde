// The transaction of a legacy "get_transaction_data" answer, with its nested
// record moved up.
#include "Core/Networking/LegacyRequest.h"

#include "FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    svsdk::fuzz::answer(data, size, [](const svsdk::Bytes& body) {
        svsdk::legacy::decodeTransactionDataAnswer(body, "t-1", "u-1", "system-1");
    });
    return 0;
}
