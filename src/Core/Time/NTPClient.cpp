#include "Core/Time/NTPClient.h"

#include <openssl/rand.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstring>

#include "Core/Time/BlockTimer.h"
#include "Core/Time/DNSResolver.h"
#include "Core/Time/TimeManager.h"
#include "Platform/DispatchQueue.h"
#include "Platform/PlatformConfiguration.h"

namespace svsdk {
namespace {

constexpr double resolutionTimeout = 8.0;
constexpr double usableWindow = 10.0;
// 2^31 s: beyond it no NTP era arithmetic gives a meaningful answer.
constexpr double absurdOffset = 2147483648.0;

int portOf(const sockaddr_storage& address) {
    if (address.ss_family == AF_INET) return ntohs(reinterpret_cast<const sockaddr_in&>(address).sin_port);
    if (address.ss_family == AF_INET6) return ntohs(reinterpret_cast<const sockaddr_in6&>(address).sin6_port);
    return -1;
}

// One request to one address: its socket (watched on the main queue), its
// timer, and what it sent. The request ends at its reply or at its timer,
// whichever comes first: a socket that cannot be made or connected, a send
// that fails and a refusal from the peer all leave it to the timer. The timer
// (and the socket's watch) hold the query; the query only refers to the timer,
// so a queue that stops drops the query and closes its socket.
class Query : public std::enable_shared_from_this<Query> {
public:
    Query(InternetAddress ip, int port, std::int8_t version, double timeout, int numberOfSamples,
          NTPClient::PacketHandler handler)
        : ip_(std::move(ip)),
          port_(port),
          version_(version),
          timeout_(timeout),
          numberOfSamples_(numberOfSamples),
          handler_(std::move(handler)) {}
    ~Query() { closeSocket(); }

    void start() {
        timer_ = BlockTimer::scheduledTimer(timeout_, true,
                                            [self = shared_from_this()](BlockTimer&) { self->end(std::nullopt); });
        auto peer = ip_.addressData(port_);
        if (peer) fd_ = ::socket(ip_.family(), SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_UDP);
        if (fd_ >= 0) {
            const int on = 1;  // arrival times (without them a reply counts as read on arrival)
            (void)::setsockopt(fd_, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
        }
        if (fd_ >= 0 && ::connect(fd_, reinterpret_cast<const sockaddr*>(peer->data()),
                                  static_cast<socklen_t>(peer->size())) == 0)
            watch(DispatchQueue::writable);
        else
            closeSocket();
    }

private:
    void watch(unsigned events) {
        auto& queue = DispatchQueue::main();
        if (watch_) queue.unwatch(watch_);
        watch_ = queue.watch(fd_, events, [self = shared_from_this()](unsigned ready) { self->onReady(ready); });
    }

    void onReady(unsigned ready) {
        if (ended_) return;
        if ((ready & DispatchQueue::writable) && !sent_) send();
        if (!ended_ && (ready & DispatchQueue::readable)) receive();
    }

    void send() {
        // The request is always a version 3 client request; the query's
        // version only travels on to the next request.
        NTPPacket request(3, NTPPacket::Mode::client);
        auto bytes = request.data();
        // The low 24 bits of the transmit fraction (under 4 ms) are random:
        // a reply has to echo them, so it cannot be forged without seeing the
        // request. The exact send time is kept here.
        if (!bytes || RAND_bytes(bytes->data() + 45, 3) != 1) return end(std::nullopt);
        std::copy(bytes->begin() + 40, bytes->end(), stamp_.begin());
        sentTime_ = request.transmitTime;
        sent_ = true;
        (void)::send(fd_, bytes->data(), bytes->size(), MSG_NOSIGNAL);
        watch(DispatchQueue::readable);
    }

    void receive() {
        std::array<std::uint8_t, 512> buffer;
        // A bounded batch per turn: the watch is level-triggered, so what is
        // left is read on the next turn, and a sender that never pauses
        // cannot keep the queue's timers (this request's own included) from
        // running.
        for (int batch = 0; batch < 64 && !ended_; ++batch) {
            sockaddr_storage from{};
            iovec part{buffer.data(), buffer.size()};
            alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timespec))];
            msghdr message{};
            message.msg_name = &from;
            message.msg_namelen = sizeof from;
            message.msg_iov = &part;
            message.msg_iovlen = 1;
            message.msg_control = control;
            message.msg_controllen = sizeof control;
            auto count = ::recvmsg(fd_, &message, 0);
            if (count < 0) {
                if (errno == EAGAIN || errno == EWOULDBLOCK) return;
                // A refusal or another error of the socket: reading it has
                // cleared it, so the socket does not stay ready.
                continue;
            }
            const double waited = waitedInSocket(message);
            double destination = TimeManager::deviceClock() - waited;
            socklen_t length = message.msg_namelen;
            auto source = InternetAddress::fromSocketAddress(reinterpret_cast<const sockaddr*>(&from), length);
            if (!source || !(*source == ip_) || portOf(from) != port_) continue;
            std::span<const std::uint8_t> reply(buffer.data(), static_cast<std::size_t>(count));
            if (reply.size() < NTPPacket::size || !std::equal(stamp_.begin(), stamp_.end(), reply.begin() + 24))
                continue;
            if (readUInt64(reply, 32, true) == 0 || readUInt64(reply, 40, true) == 0) continue;
            NTPPacket packet(reply, destination);
            packet.originTime = sentTime_;
            // The sanity test as at the arrival, like the destination time.
            return end(packet.isValidResponse(TimeManager::deviceClock() - waited) ? std::optional(packet)
                                                                                    : std::nullopt);
        }
    }

    // How long the datagram of `message` lay in the socket before it was
    // read, by the arrival time the system stamped on it: the main queue may
    // have been busy with other work (the stable-time record is written to
    // disk there), and the destination time is the arrival, not the read.
    double waitedInSocket(msghdr& message) const {
        if (message.msg_flags & MSG_CTRUNC) return 0;
        for (cmsghdr* part = CMSG_FIRSTHDR(&message); part; part = CMSG_NXTHDR(&message, part)) {
            if (part->cmsg_level != SOL_SOCKET || part->cmsg_type != SCM_TIMESTAMPNS) continue;
            timespec arrival{}, now{};
            std::memcpy(&arrival, CMSG_DATA(part), sizeof arrival);
            if (::clock_gettime(CLOCK_REALTIME, &now) != 0) return 0;
            double waited = static_cast<double>(now.tv_sec - arrival.tv_sec) +
                            static_cast<double>(now.tv_nsec - arrival.tv_nsec) / 1e9;
            // A clock stepped in between gives no usable difference.
            return waited > 0 && waited < timeout_ ? waited : 0;
        }
        return 0;
    }

    void end(std::optional<NTPPacket> packet) {
        if (ended_) return;
        ended_ = true;
        auto self = shared_from_this();  // closing drops the timer and watch that may hold the last reference
        if (auto timer = std::exchange(timer_, {}).lock()) timer->invalidate();
        closeSocket();
        handler_(packet);
        if (numberOfSamples_ >= 2) NTPClient::query(ip_, port_, version_, timeout_, numberOfSamples_ - 1, handler_);
    }

    void closeSocket() {
        if (watch_) DispatchQueue::main().unwatch(std::exchange(watch_, 0));
        if (fd_ >= 0) ::close(std::exchange(fd_, -1));
    }

    const InternetAddress ip_;
    const int port_;
    const std::int8_t version_;
    const double timeout_;
    const int numberOfSamples_;
    const NTPClient::PacketHandler handler_;
    int fd_ = -1;
    std::uint64_t watch_ = 0;
    std::weak_ptr<BlockTimer> timer_;
    bool sent_ = false;
    bool ended_ = false;
    std::array<std::uint8_t, 8> stamp_{};
    double sentTime_ = 0;
};

}  // namespace

NTPClient::NTPClient(int port, std::int8_t version, double timeout, int numberOfSamples, int maximumServers,
                     Progress progress)
    : port_(port),
      version_(version),
      timeout_(timeout),
      numberOfSamples_(numberOfSamples),
      maximumServers_(maximumServers),
      progress_(std::move(progress)) {}

void NTPClient::query(const std::string& pool, int port, std::int8_t version, double timeout, int numberOfSamples,
                      int maximumServers, Progress progress) {
    auto client = std::make_shared<NTPClient>(port, version, timeout, numberOfSamples, maximumServers,
                                              std::move(progress));
    DNSResolver::resolve(pool, resolutionTimeout,
                         [client](std::vector<InternetAddress> addresses) { client->query(addresses); });
}

void NTPClient::synchronizeClock() {
    query(platform::current()->ntpServerHost, 123, 3, 6.0, 4, 5, TimeManager::recordStableTime());
}

void NTPClient::query(const std::vector<InternetAddress>& addresses) {
    if (addresses.empty()) {
        if (progress_) progress_(std::nullopt, 0, 0);
        return;
    }
    if (numberOfSamples_ < 1) return;
    auto servers = static_cast<int>(std::min<std::size_t>(addresses.size(), std::max(maximumServers_, 0)));
    total_ = servers * numberOfSamples_;
    for (int i = 0; i < servers; ++i) query(addresses[static_cast<std::size_t>(i)]);
}

void NTPClient::query(const InternetAddress& address) {
    query(address, port_, version_, timeout_, numberOfSamples_,
          [self = shared_from_this(), address](std::optional<NTPPacket> packet) { self->store(packet, address); });
}

void NTPClient::query(const InternetAddress& ip, int port, std::int8_t version, double timeout, int numberOfSamples,
                      PacketHandler handler) {
    auto query = std::make_shared<Query>(ip, port, version, timeout, numberOfSamples, std::move(handler));
    auto& queue = DispatchQueue::main();
    if (queue.isCurrent())
        query->start();
    else
        queue.async([query] { query->start(); });
}

void NTPClient::store(std::optional<NTPPacket> packet, const InternetAddress& address) {
    if (packet) replies_[address].push_back(*packet);
    ++done_;
    std::vector<std::vector<NTPPacket>> all;
    all.reserve(replies_.size());
    for (const auto& [_, packets] : replies_) all.push_back(packets);
    std::optional<double> result;
    try {
        result = offset(all);
    } catch (const NTPNetworkError&) {
    }
    if (progress_) progress_(result, done_, total_);
}

double NTPClient::offset(const std::vector<std::vector<NTPPacket>>& packets) {
    double now = TimeManager::deviceClock();
    auto sane = [](double value) { return std::isfinite(value) && std::fabs(value) < absurdOffset; };
    std::vector<double> offsets;
    for (const auto& replies : packets) {
        const NTPPacket* best = nullptr;
        for (const auto& packet : replies) {
            if (!(std::fabs(packet.originTime - now) < usableWindow)) continue;
            if (!sane(packet.delay()) || !sane(packet.offset())) continue;
            if (!best || packet.delay() < best->delay()) best = &packet;
        }
        if (best) offsets.push_back(best->offset());
    }
    if (offsets.empty()) throw NTPNetworkError::noValidNTPPacketFound();
    std::sort(offsets.begin(), offsets.end());
    return offsets[offsets.size() / 2];
}

}  // namespace svsdk
