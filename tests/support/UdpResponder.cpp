#include "support/UdpResponder.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <stdexcept>

#include "Core/Time/NTPPacket.h"
#include "Core/Time/TimeManager.h"

namespace svsdk::testing {
namespace {

int boundSocket(const char* address) {
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    ::inet_pton(AF_INET, address, &local.sin_addr);
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0)
        throw std::runtime_error("cannot bind a loopback UDP socket");
    return fd;
}

}  // namespace

UdpResponder::UdpResponder(Script script) : script_(std::move(script)) {
    fd_ = boundSocket("127.0.0.1");
    otherPortFd_ = boundSocket("127.0.0.1");
    otherAddressFd_ = boundSocket("127.0.0.2");
    stopFd_ = ::eventfd(0, EFD_CLOEXEC);
    sockaddr_in local{};
    socklen_t length = sizeof local;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&local), &length);
    port_ = ntohs(local.sin_port);
    thread_ = std::thread([this] { run(); });
}

UdpResponder::~UdpResponder() {
    std::uint64_t one = 1;
    [[maybe_unused]] auto written = ::write(stopFd_, &one, sizeof one);
    thread_.join();
    for (int fd : {fd_, otherPortFd_, otherAddressFd_, stopFd_}) ::close(fd);
}

void UdpResponder::run() {
    using Clock = std::chrono::steady_clock;
    std::multimap<Clock::time_point, std::pair<Reply, sockaddr_in>> pending;
    while (true) {
        int wait = -1;
        if (!pending.empty())
            wait = static_cast<int>(std::max<long long>(
                0, std::chrono::duration_cast<std::chrono::milliseconds>(pending.begin()->first - Clock::now()).count()));
        pollfd fds[2] = {{stopFd_, POLLIN, 0}, {fd_, POLLIN, 0}};
        ::poll(fds, 2, wait);
        if (fds[0].revents) return;
        if (fds[1].revents & POLLIN) {
            std::vector<std::uint8_t> request(2048);
            sockaddr_in client{};
            socklen_t length = sizeof client;
            auto count = ::recvfrom(fd_, request.data(), request.size(), 0, reinterpret_cast<sockaddr*>(&client), &length);
            if (count >= 0) {
                request.resize(static_cast<std::size_t>(count));
                ++requests_;
                auto now = Clock::now();
                for (auto& reply : script_(request))
                    pending.emplace(now + std::chrono::duration_cast<Clock::duration>(
                                              std::chrono::duration<double>(reply.delay)),
                                    std::make_pair(std::move(reply), client));
            }
        }
        while (!pending.empty() && pending.begin()->first <= Clock::now()) {
            auto& [reply, client] = pending.begin()->second;
            int from = reply.from == From::server ? fd_ : reply.from == From::otherPort ? otherPortFd_ : otherAddressFd_;
            ::sendto(from, reply.bytes.data(), reply.bytes.size(), 0, reinterpret_cast<const sockaddr*>(&client),
                     sizeof client);
            pending.erase(pending.begin());
        }
    }
}

std::vector<std::uint8_t> UdpResponder::ntpReply(const std::vector<std::uint8_t>& request, double offset) {
    NTPPacket reply(4, NTPPacket::Mode::server);
    reply.stratum = NTPPacket::Stratum::secondary;
    reply.rootDelay = 0.01;
    reply.rootDispersion = 0.01;
    double now = TimeManager::deviceClock() + offset;
    reply.referenceTime = now - 10;
    reply.receiveTime = now;
    auto bytes = *reply.data(now);
    if (request.size() >= 48) std::copy(request.begin() + 40, request.begin() + 48, bytes.begin() + 24);
    return {bytes.begin(), bytes.end()};
}

}  // namespace svsdk::testing
