#pragma once
// Measures the offset of the device clock against NTP servers. A run
// resolves a pool host name, sends `numberOfSamples` requests one after
// another to each of the first `maximumServers` addresses (the addresses side
// by side), and after every finished request reports the offset computed from
// all usable replies so far, with the count of finished requests, to its
// progress handler. Every step is a callback on the main queue, which waits on
// the sockets and timers; nothing blocks.
//
// A reply counts only when it comes from the address and port the request
// went to and echoes, bit for bit, the request's transmit timestamp (whose
// low-order fraction bits are random); anything else on the socket is
// ignored, and the request goes on waiting for its reply until its timer.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "Core/Time/InternetAddress.h"
#include "Core/Time/NTPPacket.h"

namespace svsdk {

class NTPClient : public std::enable_shared_from_this<NTPClient> {
public:
    // (offset in seconds, server minus device; requests done; requests in all)
    using Progress = std::function<void(std::optional<double> offset, int done, int total)>;
    using PacketHandler = std::function<void(std::optional<NTPPacket> packet)>;

    // Starts a run and returns at once. The host name gets 8 s to resolve;
    // without an address the run makes one report (none, 0, 0). Reports run
    // on the main queue.
    static void query(const std::string& pool, int port, std::int8_t version, double timeout, int numberOfSamples,
                      int maximumServers, Progress progress);
    // The start-up's run: the platform's NTP host, port 123, version 3, 6 s
    // per request, 4 requests to each of at most 5 addresses, each offset
    // recorded as the stable time of the corrected clock.
    static void synchronizeClock();

    // One request to `ip`, then (from its ending) the remaining
    // `numberOfSamples` - 1; each ends in one `handler` call on the main queue,
    // with the reply when it passed the sanity test.
    static void query(const InternetAddress& ip, int port, std::int8_t version, double timeout, int numberOfSamples,
                      PacketHandler handler);

    // The offset of the usable replies (per address: those sent less than
    // 10 s ago, the one of least delay), the upper middle of their sorted
    // offsets. Replies with a non-finite or absurd (over 68 years) offset or
    // delay are not used. Throws NTPNetworkError without any usable reply.
    static double offset(const std::vector<std::vector<NTPPacket>>& packets);

    NTPClient(int port, std::int8_t version, double timeout, int numberOfSamples, int maximumServers,
              Progress progress);

    // The steps of a run (main queue): the resolution's answer, the first
    // request to one address, and the record of one finished request.
    void query(const std::vector<InternetAddress>& addresses);
    void query(const InternetAddress& address);
    void store(std::optional<NTPPacket> packet, const InternetAddress& address);

private:
    const int port_;
    const std::int8_t version_;
    const double timeout_;
    const int numberOfSamples_;
    const int maximumServers_;
    const Progress progress_;
    std::unordered_map<InternetAddress, std::vector<NTPPacket>> replies_;
    int done_ = 0;
    int total_ = 0;
};

}  // namespace svsdk
