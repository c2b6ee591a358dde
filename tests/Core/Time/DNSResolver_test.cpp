#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <atomic>
#include <chrono>
#include <future>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "Core/Time/BlockTimer.h"
#include "Core/Time/DNSResolver.h"
#include "support/LoopbackServer.h"
#include "support/UdpResponder.h"

using namespace svsdk;
using namespace svsdk::testing;
using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

namespace {

// A DNS answer to a query for any name: 127.0.0.1 for A, ::1 for AAAA.
Bytes dnsAnswer(const Bytes& query) {
    if (query.size() < 17) return {};
    Bytes answer(query);
    answer[2] = 0x81, answer[3] = 0x80;  // a response, recursion available, no error
    answer[6] = 0, answer[7] = 1;        // one answer
    answer[8] = answer[9] = answer[10] = answer[11] = 0;
    std::uint16_t type = static_cast<std::uint16_t>(query[query.size() - 4] << 8 | query[query.size() - 3]);
    Bytes data = type == 28 ? Bytes{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1} : Bytes{127, 0, 0, 1};
    Bytes record = {0xC0, 0x0C, 0, static_cast<std::uint8_t>(type), 0, 1, 0, 0, 0, 60, 0,
                    static_cast<std::uint8_t>(data.size())};
    answer.insert(answer.end(), record.begin(), record.end());
    answer.insert(answer.end(), data.begin(), data.end());
    return answer;
}

// Resolutions made by one test, with what their completions were given.
class Resolutions {
public:
    DNSResolver::Completion completion(int index) {
        return [this, index](std::vector<InternetAddress> addresses) {
            std::lock_guard guard(lock_);
            calls_.emplace_back(index, std::move(addresses));
            onMain_ = onMain_ && DispatchQueue::main().isCurrent();
        };
    }
    std::vector<std::pair<int, std::vector<InternetAddress>>> waitFor(std::size_t count, double timeout = 5) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout);
        while (std::chrono::steady_clock::now() < deadline) {
            {
                std::lock_guard guard(lock_);
                if (calls_.size() >= count) break;
            }
            std::this_thread::sleep_for(5ms);
        }
        std::lock_guard guard(lock_);
        return calls_;
    }
    bool allOnMain() {
        std::lock_guard guard(lock_);
        return onMain_;
    }

private:
    std::mutex lock_;
    std::vector<std::pair<int, std::vector<InternetAddress>>> calls_;
    bool onMain_ = true;
};

std::set<std::string> hosts(const std::vector<InternetAddress>& addresses) {
    std::set<std::string> result;
    for (const auto& a : addresses) result.insert(a.host().value_or("?"));
    return result;
}

class DNSResolverTest : public ::testing::Test {
protected:
    void useServer(int port) { DNSResolver::setServersForTesting("127.0.0.1:" + std::to_string(port)); }
    void SetUp() override { useServer(LoopbackServer::unusedPort()); }
    void TearDown() override { useServer(LoopbackServer::unusedPort()); }
};

}  // namespace

TEST_F(DNSResolverTest, ResolvesOnTheMainQueueOnce) {
    UdpResponder dns([](const Bytes& query) { return std::vector<UdpResponder::Reply>{{dnsAnswer(query)}}; });
    Resolutions resolutions;
    DNSResolver::resolve("localhost", 5, resolutions.completion(0));
    DNSResolver::resolve("127.0.0.1", 5, resolutions.completion(1));
    DNSResolver::resolve("no-such-host.invalid", 5, resolutions.completion(2));  // refused by the name server
    auto calls = resolutions.waitFor(3);
    useServer(dns.port());
    DNSResolver::resolve("ntp.test", 5, resolutions.completion(3));  // answered by the loopback name server
    calls = resolutions.waitFor(4);
    const int asked = dns.requestCount();
    DNSResolver::resolve("", 5, resolutions.completion(4));  // no name: nothing is asked
    calls = resolutions.waitFor(5);
    EXPECT_EQ(dns.requestCount(), asked);
    ASSERT_EQ(calls.size(), 5u);
    std::map<int, std::vector<InternetAddress>> byIndex(calls.begin(), calls.end());
    EXPECT_TRUE(hosts(byIndex[0]).count("127.0.0.1")) << "from the hosts file";
    EXPECT_EQ(hosts(byIndex[1]), std::set<std::string>{"127.0.0.1"});
    EXPECT_TRUE(byIndex[2].empty());
    EXPECT_TRUE(byIndex[4].empty());
    EXPECT_EQ(hosts(byIndex[3]), (std::set<std::string>{"127.0.0.1", "::1"}));
    for (const auto& a : byIndex[3]) EXPECT_EQ(a.addressData(123)->size(), a.isIPv6() ? 28u : 16u);
    EXPECT_TRUE(resolutions.allOnMain());
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(resolutions.waitFor(6, 0).size(), 5u) << "each completion once";
}

TEST_F(DNSResolverTest, ATimeoutEndsTheResolutionAndALateAnswerCallsNothing) {
    // The name server answers after the time limit.
    UdpResponder dns([](const Bytes& query) { return std::vector<UdpResponder::Reply>{{dnsAnswer(query), 0.4}}; });
    useServer(dns.port());
    Resolutions resolutions;
    auto started = std::chrono::steady_clock::now();
    DNSResolver::resolve("slow.test", 0.15, resolutions.completion(0));
    auto calls = resolutions.waitFor(1);
    double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_TRUE(calls[0].second.empty());
    EXPECT_NEAR(elapsed, 0.15, 0.1);
    std::this_thread::sleep_for(600ms);
    EXPECT_GE(dns.requestCount(), 1);
    EXPECT_EQ(resolutions.waitFor(2, 0).size(), 1u);

    // The endings called directly: the first wins, whichever it is.
    Resolutions direct;
    auto answered = std::make_shared<DNSResolver>(direct.completion(1));
    answered->onAnswer({});
    answered->onTimeout();
    auto timedOut = std::make_shared<DNSResolver>(direct.completion(2));
    timedOut->onTimeout();
    timedOut->onAnswer({});
    EXPECT_EQ(direct.waitFor(3, 0.1).size(), 2u);
}

TEST(InternetAddressTest, SocketAddressesTextAndEquality) {
    sockaddr_in v4{};
    v4.sin_family = AF_INET;
    v4.sin_port = htons(9);
    ::inet_pton(AF_INET, "192.0.2.7", &v4.sin_addr);
    auto a = InternetAddress::ipv4(v4);
    auto data = *a.addressData(123);
    ASSERT_EQ(data.size(), 16u);
    EXPECT_EQ(data[2], 0x00);
    EXPECT_EQ(data[3], 0x7B);
    EXPECT_EQ(a.host(), "192.0.2.7");
    EXPECT_EQ(a.addressData(-1), std::nullopt);
    EXPECT_EQ(a.addressData(65536), std::nullopt);

    auto otherPort = v4;
    otherPort.sin_port = htons(10);
    EXPECT_EQ(a, InternetAddress::ipv4(otherPort));
    EXPECT_EQ(std::hash<InternetAddress>()(a), std::hash<InternetAddress>()(InternetAddress::ipv4(otherPort)));

    sockaddr_in6 v6{};
    v6.sin6_family = AF_INET6;
    ::inet_pton(AF_INET6, "2001:db8::1", &v6.sin6_addr);
    auto b = InternetAddress::ipv6(v6);
    EXPECT_EQ(b.host(), "2001:db8::1");
    EXPECT_EQ(b.addressData(123)->size(), 28u);
    EXPECT_FALSE(a == b);

    // Records are read only when they are as long as their family's.
    auto six = reinterpret_cast<const sockaddr*>(&v6);
    EXPECT_TRUE(InternetAddress::fromSocketAddress(six, sizeof v6));
    EXPECT_FALSE(InternetAddress::fromSocketAddress(six, sizeof v6 - 1));
    EXPECT_FALSE(InternetAddress::fromSocketAddress(reinterpret_cast<const sockaddr*>(&v4), sizeof v4 - 1));
    EXPECT_FALSE(InternetAddress::fromSocketAddress(nullptr, 16));
    sockaddr_storage unix{};
    unix.ss_family = AF_UNIX;
    EXPECT_FALSE(InternetAddress::fromSocketAddress(reinterpret_cast<const sockaddr*>(&unix), sizeof unix));
}

TEST(BlockTimerTest, FiresOnceOrUntilInvalidated) {
    DispatchQueue queue("timers");
    std::atomic<int> once{0}, repeating{0};
    std::promise<void> third;
    auto single = BlockTimer::scheduledTimer(0.01, false, [&](BlockTimer&) { ++once; }, queue);
    auto repeated = BlockTimer::scheduledTimer(
        0.01, true,
        [&](BlockTimer& timer) {
            if (++repeating == 3) {
                timer.invalidate();  // from its own callback
                third.set_value();
            }
        },
        queue);
    third.get_future().wait();
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(once, 1);
    EXPECT_FALSE(single->isValid());
    EXPECT_EQ(repeating, 3);
    EXPECT_FALSE(repeated->isValid());

    std::atomic<bool> fired{false};
    auto cancelled = BlockTimer::scheduledTimer(0.05, false, [&](BlockTimer&) { fired = true; }, queue);
    cancelled->invalidate();
    std::this_thread::sleep_for(100ms);
    EXPECT_FALSE(fired);
}
