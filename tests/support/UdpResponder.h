#pragma once
// A scripted UDP server on 127.0.0.1 and an ephemeral port, for what real
// servers do not send. Each datagram received goes to the script, whose
// replies are sent after their delays: from the server's own socket, or from
// another port or another loopback address.
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace svsdk::testing {

class UdpResponder {
public:
    enum class From { server, otherPort, otherAddress };
    struct Reply {
        std::vector<std::uint8_t> bytes;
        double delay = 0;  // seconds after the request arrived
        From from = From::server;
    };
    using Script = std::function<std::vector<Reply>(const std::vector<std::uint8_t>& request)>;

    explicit UdpResponder(Script script);
    ~UdpResponder();  // stops at once; replies not yet sent are dropped
    UdpResponder(const UdpResponder&) = delete;
    UdpResponder& operator=(const UdpResponder&) = delete;

    int port() const { return port_; }
    // Datagrams received so far.
    int requestCount() const { return requests_; }

    // A 48-byte reply to an NTP request as a sane server would send it at
    // the current device clock: mode 4, stratum 2, the request's transmit
    // timestamp as origin, receive and transmit now plus `offset` seconds.
    static std::vector<std::uint8_t> ntpReply(const std::vector<std::uint8_t>& request, double offset = 0);

private:
    void run();

    Script script_;
    int fd_ = -1;
    int otherPortFd_ = -1;
    int otherAddressFd_ = -1;
    int stopFd_ = -1;
    int port_ = 0;
    std::atomic<int> requests_{0};
    std::thread thread_;
};

}  // namespace svsdk::testing
