#pragma once
// A scripted UDP server on a loopback address (127.0.0.1) and port (an ephemeral one), for what real servers do
// not send. Each datagram received goes to the script, whose replies are sent in order, each once its delay after
// the request has passed: from the server's own socket, or from another port or another loopback address.
#include <arpa/inet.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <stdexcept>
#include <thread>
#include <vector>

#include "Core/Time/NTPPacket.h"
#include "Core/Time/TimeManager.h"

namespace svsdk::testing {

class UdpResponder {
public:
    using Bytes = std::vector<std::uint8_t>;
    enum From { server, otherPort, otherAddress };
    struct Reply {
        Bytes bytes;
        double delay = 0;  // seconds after the request arrived
        From from = server;
    };
    using Script = std::function<std::vector<Reply>(const Bytes& request)>;

    explicit UdpResponder(Script script, const std::string& host = "127.0.0.1", int port = 0)
        : script_(std::move(script)) {
        for (int i = 0; i < 3; ++i) {
            fds_[i] = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
            sockaddr_in local{AF_INET, htons(static_cast<std::uint16_t>(i == server ? port : 0)), {}, {}};
            ::inet_pton(AF_INET, i == server ? host.c_str() : i == otherPort ? "127.0.0.1" : "127.0.0.2",
                        &local.sin_addr);
            if (fds_[i] < 0 || ::bind(fds_[i], reinterpret_cast<sockaddr*>(&local), sizeof local) != 0)
                throw std::runtime_error("cannot bind a loopback UDP socket");
        }
        sockaddr_in local{};
        socklen_t length = sizeof local;
        ::getsockname(fds_[server], reinterpret_cast<sockaddr*>(&local), &length);
        port_ = ntohs(local.sin_port);
        thread_ = std::thread([this] { run(); });
    }
    ~UdpResponder() {
        std::uint64_t one = 1;
        stopping_ = true;
        [[maybe_unused]] auto written = ::write(stopFd_, &one, sizeof one);
        thread_.join();
        for (int fd : {fds_[0], fds_[1], fds_[2], stopFd_}) ::close(fd);
    }

    int port() const { return port_; }
    int requestCount() const { return requests_; }  // datagrams received so far

    // A 48-byte reply to an NTP request as a sane server sends it at the device clock: mode 4, stratum 2, the
    // request's transmit timestamp as origin, receive and transmit now plus `offset` seconds.
    static Bytes ntpReply(const Bytes& request, double offset = 0) {
        NTPPacket reply(4, NTPPacket::Mode::server);
        reply.stratum = NTPPacket::Stratum::secondary;
        reply.rootDelay = reply.rootDispersion = 0.01;
        double now = TimeManager::deviceClock() + offset;
        reply.receiveTime = now;
        auto bytes = *reply.data(now);
        if (request.size() >= 48) std::copy(request.begin() + 40, request.begin() + 48, bytes.begin() + 24);
        return {bytes.begin(), bytes.end()};
    }

private:
    void run() {
        pollfd fds[2] = {{stopFd_, POLLIN, 0}, {fds_[server], POLLIN, 0}};
        while (::poll(fds, 2, -1), !fds[0].revents) {
            Bytes request(2048);
            sockaddr_in client{};
            socklen_t length = sizeof client;
            auto count = ::recvfrom(fds_[server], request.data(), request.size(), MSG_DONTWAIT,
                                    reinterpret_cast<sockaddr*>(&client), &length);
            if (count < 0) continue;
            request.resize(static_cast<std::size_t>(count));
            ++requests_;
            auto arrived = std::chrono::steady_clock::now();
            for (const auto& reply : script_(request)) {
                if (stopping_) break;
                std::this_thread::sleep_until(arrived + std::chrono::duration<double>(reply.delay));
                ::sendto(fds_[reply.from], reply.bytes.data(), reply.bytes.size(), 0,
                         reinterpret_cast<const sockaddr*>(&client), sizeof client);
            }
        }
    }

    Script script_;
    int fds_[3] = {-1, -1, -1}, stopFd_ = ::eventfd(0, EFD_CLOEXEC), port_ = 0;  // sockets by From
    std::atomic<int> requests_{0};
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

}  // namespace svsdk::testing
