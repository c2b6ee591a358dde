#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <future>
#include <limits>
#include <thread>

#include "Core/Time/BlockTimer.h"
#include "Core/Time/DNSResolver.h"
#include "Core/Time/NTPClient.h"
#include "Core/Time/TimeManager.h"
#include "Platform/DispatchQueue.h"
#include "support/ChronyServer.h"
#include "support/LoopbackServer.h"
#include "support/ProgressRecorder.h"
#include "support/ScopedClock.h"
#include "support/TestEnvironment.h"
#include "support/UdpResponder.h"

using namespace svsdk;
using namespace svsdk::testing;
using Bytes = std::vector<std::uint8_t>;

namespace {

sockaddr_in socketAddress(const char* host, int port = 0) {
    sockaddr_in address{AF_INET, htons(static_cast<std::uint16_t>(port)), {}, {}};
    return ::inet_pton(AF_INET, host, &address.sin_addr), address;
}

InternetAddress ipv4(const char* host) { return InternetAddress::ipv4(socketAddress(host)); }

// A UDP socket bound to `host` and `port` (0: a free one, written back), reads waiting at most 5 s.
int boundSocket(const char* host, int& port) {
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = socketAddress(host, port);
    socklen_t length = sizeof address;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0) return -1;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    port = ntohs(address.sin_port);
    timeval wait{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    return fd;
}

// The client of a bound socket, once its request (48 bytes, or none after 5 s) arrived.
struct Peer {
    explicit Peer(int fd) : fd(fd) {
        if (::recvfrom(fd, request.data(), 48, 0, reinterpret_cast<sockaddr*>(&client), &length) != 48) request.clear();
    }
    void send(const Bytes& bytes) {
        ::sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&client), length);
    }
    int fd;
    Bytes request = Bytes(48);
    sockaddr_in client{};
    socklen_t length = sizeof client;
};

// A reply sent at `t` with the given offset and round-trip delay (times in Unix seconds).
NTPPacket replyWith(double t, double offset, double delay) {
    NTPPacket packet(3, NTPPacket::Mode::server);
    packet.originTime = t, packet.destinationTime = t + delay;
    packet.receiveTime = packet.transmitTime = t + offset + delay / 2;
    return packet;
}

bool near(const std::optional<double>& value, double expected, double tolerance) {
    return value && std::fabs(*value - expected) < tolerance;
}

class NTPClientTest : public ::testing::Test {
protected:
    // No test asks the system's name servers: a loopback port where nothing listens.
    void SetUp() override {
        DNSResolver::setServersForTesting("127.0.0.1:" + std::to_string(LoopbackServer::unusedPort()));
    }
    void TearDown() override {
        DNSResolver::setServersForTesting(std::nullopt);
        TimeManager::setStableTime(std::nullopt);
    }
    ScopedPlatform platform;
};

}  // namespace

TEST(NTPClientOffsetTest, MedianOfTheLeastDelayUsableReplyOfEachAddress) {
    constexpr double t = 1'700'000'000, nan = std::numeric_limits<double>::quiet_NaN();
    ScopedClock clock(t + 1, 100);
    std::pair<std::vector<std::vector<NTPPacket>>, double> cases[] = {
        {{{replyWith(t, 0.30, 0.02)}, {replyWith(t, -0.10, 0.02)}}, 0.30},  // the upper middle
        {{{replyWith(t, 0.3, 0.02)}, {replyWith(t, -0.1, 0.02)}, {replyWith(t, 0.2, 0.02)}}, 0.2},
        {{{replyWith(t, 4, 0.02)}, {replyWith(t, 1, 0.02)}, {replyWith(t, 3, 0.02)}, {replyWith(t, 2, 0.02)}}, 3},
        {{{replyWith(t, 0.7, 0.08), replyWith(t, 0.5, 0.05), replyWith(t, 0.6, 0.05)}}, 0.5},
        {{{replyWith(t - 8.5, 0.4, 0.01), replyWith(t - 9, 0.9, 0.001)}, {}}, 0.4},  // sent 10 s or more ago
        {{{replyWith(t, nan, 0.01), replyWith(t, 0.25, 0.05)}, {replyWith(t, 3e9, 0.001)},  // not finite or absurd
          {replyWith(t, std::numeric_limits<double>::infinity(), 0)}, {replyWith(t, 0.1, -3e9)}}, 0.25},
    };
    for (const auto& [packets, offset] : cases) EXPECT_NEAR(NTPClient::offset(packets), offset, 1e-6) << offset;
    for (const auto& none : std::vector<std::vector<std::vector<NTPPacket>>>{
             {}, {{}}, {{replyWith(t - 11, 0.1, 0.01)}}, {{replyWith(t + 11, 0.1, 0.01)}},
             {{replyWith(t, -3e9, 0.01)}}})
        EXPECT_THROW(NTPClient::offset(none), NTPNetworkError);
}

TEST_F(NTPClientTest, ChronydOnTheSameAndOnAShiftedClock) {
    // "localhost" may also name ::1, where nothing answers: the run counts every address.
    for (auto [shift, host] : {std::pair{0.0, "127.0.0.1"}, std::pair{3600.0, "localhost"}}) {
        ChronyServer chrony(shift);
        ProgressRecorder recorder;
        NTPClient::query(host, chrony.port(), 3, 2.0, 2, 5, recorder.handler(TimeManager::recordStableTime()));
        const auto total = static_cast<std::size_t>(recorder.waitFor(1).at(0).total);
        auto reports = recorder.waitFor(total);
        ASSERT_EQ(reports.size(), total) << chrony.log();
        for (std::size_t i = 0; i < total; ++i) {
            EXPECT_EQ(reports[i].done, static_cast<int>(i) + 1);
            EXPECT_TRUE(reports[i].offset || shift) << i;  // each of chronyd's replies counts
        }
        EXPECT_TRUE(near(reports.back().offset, shift, 0.05)) << reports.back().offset.value_or(-1);
        EXPECT_NEAR(TimeManager::shared().now().timeIntervalSince1970 - TimeManager::deviceClock(), shift, 0.05);
        EXPECT_TRUE(TimeManager::loadStableTime()) << "stored as well";
    }
}

TEST_F(NTPClientTest, OnlyAnEchoFromThePeerWithSaneValuesIsUsed) {
    using From = UdpResponder::From;
    auto changed = [](std::function<void(Bytes&)> change, From from = From::server) -> UdpResponder::Script {
        return [=](const Bytes& request) {
            auto bytes = UdpResponder::ntpReply(request, 2.0);
            return change(bytes), std::vector<UdpResponder::Reply>{{bytes, 0, from}};
        };
    };
    std::tuple<const char*, UdpResponder::Script, std::optional<double>> cases[] = {
        {"unchanged", changed([](Bytes&) {}), 2.0},
        {"no reply", [](const Bytes&) { return std::vector<UdpResponder::Reply>{}; }, std::nullopt},
        {"short", changed([](Bytes& b) { b.resize(47); }), std::nullopt},
        {"stratum 0", changed([](Bytes& b) { b[1] = 0; }), std::nullopt},
        {"zero receive time", changed([](Bytes& b) { std::fill(b.begin() + 32, b.begin() + 40, 0); }), std::nullopt},
        {"zero transmit time", changed([](Bytes& b) { std::fill(b.begin() + 40, b.end(), 0); }), std::nullopt},
        {"another origin", changed([](Bytes& b) { b[31] ^= 1; }), std::nullopt},
        {"from another port", changed([](Bytes&) {}, From::otherPort), std::nullopt},
        {"from another address", changed([](Bytes&) {}, From::otherAddress), std::nullopt},
        {"a forged reply first", [](const Bytes& request) {
             auto forged = UdpResponder::ntpReply(request, 500);
             forged[30] ^= 0x10;  // a guessed origin, wrong in one bit
             return std::vector<UdpResponder::Reply>{{forged, 0}, {UdpResponder::ntpReply(request, 1.5), 0.05}};
         }, 1.5},
    };
    for (const auto& [name, script, offset] : cases) {
        UdpResponder responder(script);
        ProgressRecorder recorder;
        NTPClient::query("127.0.0.1", responder.port(), 3, 0.3, 1, 5, recorder.handler());
        auto reports = recorder.waitFor(1);
        ASSERT_EQ(reports.size(), 1u) << name;
        EXPECT_TRUE(offset ? near(reports[0].offset, *offset, 0.05) : !reports[0].offset) << name;
        EXPECT_EQ(reports[0].done * 10 + reports[0].total + responder.requestCount() * 100, 111) << name;
    }
}

TEST_F(NTPClientTest, RefusedAndUnsentRequestsEndByTheirTimers) {
    // A closed port (the peer refuses the request) and a port no socket address can hold (no socket):
    // the request ends without a packet at its timer, after a mark due at half its time.
    for (int port : {LoopbackServer::unusedPort(), 70000}) {
        std::vector<std::string> order;  // main queue only
        std::promise<void> ended;
        auto mark = BlockTimer::scheduledTimer(0.15, false, [&](BlockTimer&) { order.push_back("mark"); });
        NTPClient::query(ipv4("127.0.0.1"), port, 3, 0.3, 1, [&](std::optional<NTPPacket> packet) {
            order.push_back(packet ? "packet" : "none");
            ended.set_value();
        });
        ASSERT_EQ(ended.get_future().wait_for(std::chrono::seconds(10)), std::future_status::ready) << port;
        DispatchQueue::main().sync([] {});
        EXPECT_EQ(order, (std::vector<std::string>{"mark", "none"})) << port;
    }
}

TEST_F(NTPClientTest, ProgressCountsEveryRequestOfTheServersUsed) {
    // Seven addresses, five used, four requests each, one after another: twenty reports.
    std::vector<InternetAddress> seven;
    for (int i = 1; i <= 7; ++i) seven.push_back(ipv4(("127.0.0." + std::to_string(i)).c_str()));
    ProgressRecorder recorder;
    auto client = std::make_shared<NTPClient>(LoopbackServer::unusedPort(), 3, 0.1, 4, 5, recorder.handler());
    DispatchQueue::main().async([client, seven] { client->query(seven); });
    auto reports = recorder.waitFor(20);
    ASSERT_EQ(reports.size(), 20u);
    for (int i = 0; i < 20; ++i) EXPECT_EQ(reports[i].done * 100 + reports[i].total, (i + 1) * 100 + 20);
    // No address: one report (none, 0, 0).
    ProgressRecorder empty;
    NTPClient::query("no-such-host.invalid", 123, 3, 1.0, 4, 5, empty.handler());
    auto single = empty.waitFor(2, 1);
    ASSERT_EQ(single.size(), 1u);
    EXPECT_EQ(single[0].offset.value_or(-1) + single[0].done + single[0].total, -1);
}

TEST_F(NTPClientTest, AFloodOfUnusableRepliesDoesNotHoldUpTheMainQueue) {
    // The server's address sends datagrams never usable (a wrong origin) as fast as it can: the request still
    // ends by its timer.
    int port = 0, server = boundSocket("127.0.0.1", port);
    ASSERT_GE(server, 0);
    ProgressRecorder recorder;
    const auto started = std::chrono::steady_clock::now();
    NTPClient::query("127.0.0.1", port, 3, 0.3, 1, 5, recorder.handler());
    Peer peer(server);
    ASSERT_EQ(peer.request.size(), 48u);
    auto junk = UdpResponder::ntpReply(peer.request);
    junk[31] ^= 1;
    // A device clock that takes 0.2 ms to read makes every datagram cost the client more than the senders.
    TimeManager::setClockForTesting([] {
        const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(200);
        while (std::chrono::steady_clock::now() < until) {
        }
        return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    }, {});
    std::atomic<bool> stop{false};
    auto send = [&] {  // at most 5 s
        for (auto end = started + std::chrono::seconds(5); !stop && std::chrono::steady_clock::now() < end;)
            peer.send(junk);
    };
    std::thread first(send), second(send);
    auto reports = recorder.waitFor(1, 6);
    stop = true;
    first.join(), second.join(), ::close(server);
    TimeManager::setClockForTesting({}, {});
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].offset, std::nullopt);
    EXPECT_LT(std::chrono::duration<double>(reports[0].at - started).count(), 2.0);
}

TEST_F(NTPClientTest, RepliesReadLateAreTimedByTheirArrival) {
    // Three servers on one port of three loopback addresses. The first answers at once with its clock 1 s behind,
    // and its report's handler holds the main queue for 0.3 s (as a slow disk under the stable-time record would);
    // the other two, on the device's clock, answer 10 ms later, their replies waiting in the sockets meanwhile.
    // The median is one of theirs: 0, neither skewed by the wait nor dropped for it.
    int port = 0;
    std::vector<std::thread> answering;
    for (const char* host : {"127.0.0.1", "127.0.0.2", "127.0.0.3"}) {
        int fd = boundSocket(host, port);
        ASSERT_GE(fd, 0) << host;
        answering.emplace_back([fd, first = answering.empty()] {
            Peer peer(fd);
            if (peer.request.empty()) return (void)::close(fd);
            auto reply = UdpResponder::ntpReply(peer.request, first ? -1.0 : 0.0);
            if (!first) {
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
                auto sent = *NTPPacket::encodeTimestamp(TimeManager::deviceClock());
                for (int b = 0; b < 8; ++b) reply[40 + b] = static_cast<std::uint8_t>(sent >> (56 - 8 * b));
            }
            peer.send(reply), ::close(fd);
        });
    }
    ProgressRecorder recorder;
    std::atomic<bool> held{false};
    auto client = std::make_shared<NTPClient>(port, 3, 2.0, 1, 5, recorder.handler([&](auto...) {
        if (!held.exchange(true)) std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }));
    DispatchQueue::main().async([client] { client->query({ipv4("127.0.0.1"), ipv4("127.0.0.2"), ipv4("127.0.0.3")}); });
    auto reports = recorder.waitFor(3);
    for (auto& thread : answering) thread.join();
    ASSERT_EQ(reports.size(), 3u);
    EXPECT_TRUE(near(reports.back().offset, 0, 0.02)) << reports.back().offset.value_or(-1);
}
