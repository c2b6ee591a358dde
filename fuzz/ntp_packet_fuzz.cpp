// An NTP reply as the client reads it: decoded, tested for sanity, its delay
// and offset computed, and encoded again. Nothing may crash or overflow.
#include "Core/Time/NTPClient.h"
#include "Core/Time/NTPPacket.h"

#include "FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    svsdk::fuzz::text(data, size);
    // The reply's arrival time comes from the input's first bytes when there
    // are more than a packet's worth.
    double destination = 1700000000.0;
    if (size >= svsdk::NTPPacket::size + 8)
        destination = static_cast<double>(svsdk::readUInt64({data + svsdk::NTPPacket::size, 8}, 0, true)) / 65536.0;
    try {
        svsdk::NTPPacket packet({data, size}, destination);
        (void)packet.isValidResponse();
        (void)packet.delay();
        (void)packet.offset();
        (void)packet.data(packet.transmitTime);
        try {
            (void)svsdk::NTPClient::offset({{packet}});
        } catch (const svsdk::NTPNetworkError&) {
        }
    } catch (const svsdk::NTPParsingError&) {
    }
    return 0;
}
