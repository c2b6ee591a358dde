#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <future>
#include <limits>
#include <mutex>
#include <set>
#include <thread>
#include <tuple>

#include <svsdk/Common/SVSDK.h>

#include "Core/Time/BlockTimer.h"
#include "Core/Time/DNSResolver.h"
#include "Core/Time/NTPClient.h"
#include "Core/Time/StableTimeStore.h"
#include "Platform/DefaultsStore.h"
#include "Platform/DispatchQueue.h"
#include "support/ChronyServer.h"
#include "support/ProgressRecorder.h"
#include "support/ScopedClock.h"
#include "support/TestEnvironment.h"
#include "support/Thrown.h"
#include "support/UdpResponder.h"

using namespace svsdk;
using namespace svsdk::testing;
using namespace std::chrono_literals;
using nlohmann::json;
using Datagram = std::vector<std::uint8_t>;
using Replies = std::vector<UdpResponder::Reply>;

namespace {

constexpr double kNow = 1'700'000'000.25, kWrap = 2085978496.0;  // 2036-02-07 06:28:16 UTC ends era 0
const double kNaN = std::numeric_limits<double>::quiet_NaN(), kInf = std::numeric_limits<double>::infinity();

InternetAddress ipv4(const std::string& host, int port = 0) {
    sockaddr_in address{AF_INET, htons(static_cast<std::uint16_t>(port)), {}, {}};
    ::inet_pton(AF_INET, host.c_str(), &address.sin_addr);
    return InternetAddress::ipv4(address);
}

// A sane server reply at the device clock, as 48 bytes, changed by `change`.
Datagram serverReply(std::function<void(Datagram&)> change = [](Datagram&) {}) {
    auto bytes = UdpResponder::ntpReply({});
    return change(bytes), bytes;
}

void put32(Datagram& bytes, std::size_t at, std::uint32_t word) {
    for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<std::uint8_t>(word >> (24 - 8 * i));
}

// A reply sent at `t` with the given offset and round-trip delay (times in Unix seconds).
NTPPacket replyWith(double t, double offset, double delay) {
    NTPPacket packet(3, NTPPacket::Mode::server);
    packet.originTime = t, packet.destinationTime = t + delay;
    packet.receiveTime = packet.transmitTime = t + offset + delay / 2;
    return packet;
}

// A DNS answer to a query for any name: 127.0.0.1 for A, ::1 for AAAA.
Datagram dnsAnswer(Datagram answer) {
    std::uint8_t type = answer[answer.size() - 3];
    answer[2] = 0x81, answer[3] = 0x80, answer[7] = 1;  // a response, recursion available, no error, one answer
    Datagram record = {0xC0, 0x0C, 0, type, 0, 1, 0, 0, 0, 60, 0, static_cast<std::uint8_t>(type == 28 ? 16 : 4)};
    answer.insert(answer.end(), record.begin(), record.end());
    Datagram data = type == 28 ? Datagram{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1} : Datagram{127, 0, 0, 1};
    return answer.insert(answer.end(), data.begin(), data.end()), answer;
}

// A DNS answer to a query for any name: the loopback addresses 127.0.0.1 to 127.0.0.`count` for A, none for AAAA.
Datagram loopbacksAnswer(Datagram answer, int count) {
    const bool a = answer[answer.size() - 3] == 1;
    answer[2] = 0x81, answer[3] = 0x80, answer[7] = static_cast<std::uint8_t>(a ? count : 0);
    for (int i = 1; a && i <= count; ++i) {
        Datagram record = {0xC0, 0x0C, 0, 1, 0, 1, 0, 0, 0, 60, 0, 4, 127, 0, 0, static_cast<std::uint8_t>(i)};
        answer.insert(answer.end(), record.begin(), record.end());
    }
    return answer;
}

// The hosts a resolution's completion gets ("off main" when it runs on another queue; a second call throws).
std::set<std::string> resolved(const std::string& host, double timeout = 5) {
    auto promise = std::make_shared<std::promise<std::set<std::string>>>();
    auto future = promise->get_future();
    DNSResolver::resolve(host, timeout, [promise](std::vector<InternetAddress> addresses) {
        std::set<std::string> hosts;
        for (const auto& a : addresses) hosts.insert(a.host().value_or("?"));
        if (!DispatchQueue::main().isCurrent()) hosts.insert("off main");
        promise->set_value(hosts);
    });
    return future.wait_for(10s) == std::future_status::ready ? future.get() : std::set<std::string>{"none"};
}

void useServer(int port) { DNSResolver::setServersForTesting("127.0.0.1:" + std::to_string(port)); }

class NTPClientTest : public ::testing::Test {
protected:
    // No test asks the system's name servers: a loopback port where nothing listens.
    void SetUp() override { useServer(LoopbackServer::unusedPort()); }
    ScopedPlatform platform;
};

constexpr double kBoot = 1'699'999'900;  // the boot instant of the device in these tests
const StableTime kRecord{100, 1'700'000'000, 2.5};

std::optional<json> storedValue() { return DefaultsStore::value("SVStableTime"); }
double now() { return TimeManager::shared().now().timeIntervalSince1970; }

class StableTimeStoreTest : public ::testing::Test {
protected:
    ScopedPlatform platform;
    ScopedClock clock{kBoot + 160, 160};
};

}  // namespace

TEST(NTPPacketTest, EncodesTheRequestOrNothingOutsideTheWireRanges) {
    NTPPacket request(3, NTPPacket::Mode::client);
    NTPPacket::Bytes expected{0x1b, 0, 4, 0xfa, 0, 1, 0, 0, 0, 1};
    expected[40] = 0x83, expected[41] = 0xaa, expected[42] = 0x7e, expected[43] = 0x80;
    EXPECT_EQ(request.data(0.0), expected);
    // Half a second into 2023: seconds 0xE8F2AA80, fraction 0x80000000.
    EXPECT_EQ(readUInt64(*request.data(1'699'228'672.5), 40, true), 0xE8F2AA8080000000u);
    ScopedClock clock(kNow, 100);
    request.data();
    EXPECT_EQ(request.transmitTime, kNow) << "the device clock when no time is given";
    // Every field its own value: each lands in its own bytes only, and decodes back.
    NTPPacket full(5, NTPPacket::Mode::reservedNTP);
    full.leap = NTPPacket::LeapIndicator::fiftyNineSeconds, full.stratum = NTPPacket::Stratum::secondary;
    full.poll = 10, full.precision = -20;
    full.rootDelay = 0x0102C0D0 / 65536.0, full.rootDispersion = 0x03042016 / 65536.0;
    full.clockSource = NTPPacket::ClockSource::referenceIdentifier(0x5A5B5C5D);
    full.referenceTime = 86'400 + 0x0708090A / 4294967296.0, full.originTime = 1'699'999'999.25;
    full.receiveTime = 1'700'000'000 + 0x9ABCDC00 / 4294967296.0;
    auto encoded = full.data(1'700'000'001 + 0xDEF01400 / 4294967296.0);
    EXPECT_EQ(encoded, (NTPPacket::Bytes{0xAE, 2, 10, 0xEC, 1, 2, 0xC0, 0xD0, 3, 4, 0x20, 0x16, 0x5A, 0x5B, 0x5C,
                                         0x5D, 0x83, 0xAB, 0xD0, 0, 7, 8, 9, 0x0A, 0xE8, 0xFE, 0x6F, 0x7F, 0x40, 0,
                                         0, 0, 0xE8, 0xFE, 0x6F, 0x80, 0x9A, 0xBC, 0xDC, 0, 0xE8, 0xFE, 0x6F, 0x81,
                                         0xDE, 0xF0, 0x14, 0}));
    auto fields = [](const NTPPacket& p) {
        return std::tuple(p.leap, p.version, p.mode, p.stratum, p.poll, p.precision, p.rootDelay, p.rootDispersion,
                          p.clockSource, p.referenceTime, p.originTime, p.receiveTime, p.transmitTime);
    };
    EXPECT_EQ(fields(NTPPacket(encoded.value(), kNow)), fields(full));
    struct { double transmit, delay, dispersion; int version; } bad[] = {
        {kNaN, 1, 1, 3}, {kInf, 1, 1, 3}, {1e300, 1, 1, 3}, {0, 65536, 1, 3}, {0, 1, -0.5, 3}, {0, 1, 1, 8}};
    for (auto [transmit, delay, dispersion, version] : bad) {
        NTPPacket packet(static_cast<std::int8_t>(version), NTPPacket::Mode::client);
        packet.rootDelay = delay, packet.rootDispersion = dispersion;
        EXPECT_EQ(packet.data(transmit), std::nullopt) << transmit << " " << delay << " " << dispersion;
    }
}

TEST(NTPPacketTest, DecodesFieldsOfAtLeast48Bytes) {
    ScopedClock clock(kNow, 100);
    auto bytes = serverReply([](Datagram& b) {
        put32(b, 0, 0xDC020AE9), put32(b, 4, 0x80000000), put32(b, 8, 0x00014000);  // leap 3, version 3, mode 4
    });
    NTPPacket packet(bytes, kNow + 1);
    EXPECT_EQ(packet.leap, NTPPacket::LeapIndicator::alarm);
    EXPECT_EQ(packet.version * 10 + static_cast<int>(packet.mode), 34);
    EXPECT_EQ(packet.poll * 100 + packet.precision, 1000 - 23);
    EXPECT_EQ(packet.rootDelay, 32768.0) << "0x80000000 is unsigned";
    EXPECT_EQ(packet.rootDispersion, 1.25);
    EXPECT_NEAR(packet.transmitTime, kNow, 1e-6);
    EXPECT_EQ(packet.destinationTime, kNow + 1);
    EXPECT_EQ(NTPPacket(Datagram(48, 0), 0).originTime, -2208988800.0) << "zero is the NTP epoch";
    EXPECT_EQ(NTPPacket::modeFromRaw(7), NTPPacket::Mode::unknown);
    EXPECT_FALSE(NTPPacket::leapFromRaw(4) || NTPPacket::modeFromRaw(8));
    auto shorter = thrownAs<NTPParsingError>([&] { NTPPacket(std::span(bytes.data(), 47), 0); });
    EXPECT_STREQ(shorter ? shorter->what() : "", "Invalid PDU length: 47");
    auto longer = bytes;
    longer.resize(60, 0xFF);
    EXPECT_EQ(NTPPacket(bytes, 5).data(1.0), NTPPacket(longer, 5).data(1.0));
    EXPECT_THROW(readUInt32(bytes, 45, true), std::out_of_range);
    EXPECT_EQ(readUInt32(Datagram{1, 2, 3, 4}, 0, true), 0x01020304u);
    EXPECT_EQ(readUInt32(Datagram{1, 2, 3, 4}, 0, false), 0x04030201u);
}

TEST(NTPPacketTest, StratumReferenceClockAndSanityTest) {
    ScopedClock clock(kNow, 100);
    using Kind = NTPPacket::ClockSource::Kind;
    using S = NTPPacket::Stratum;
    struct { std::uint8_t stratum; std::uint32_t id; S category; Kind kind; std::string description; } cases[] = {
        {0, 0x52415445, S::unspecified, Kind::debug, ""},
        {1, 0x47505300, S::primary, Kind::referenceClock, "Global Position System"},
        {1, 0x58585858, S::primary, Kind::referenceClock, "NULL"},
        {2, 0x7F000001, S::secondary, Kind::referenceIdentifier, ""},
        {14, 1, S::secondary, Kind::referenceIdentifier, ""},
        {15, 1, S::invalid, Kind::referenceIdentifier, ""},
    };
    for (const auto& c : cases) {
        NTPPacket packet(serverReply([&](Datagram& b) { b[1] = c.stratum, put32(b, 12, c.id); }), kNow);
        EXPECT_EQ(packet.stratum, c.category) << int(c.stratum);
        EXPECT_EQ(packet.clockSource, (NTPPacket::ClockSource{c.kind, c.id, c.description})) << int(c.stratum);
        EXPECT_EQ(packet.isValidResponse(), c.stratum >= 1 && c.stratum <= 14) << int(c.stratum);
    }
    // First byte (leap, version, mode) and root dispersion (16.16), from a sane 0x1C and 0.5 s.
    struct { std::uint8_t first; std::uint32_t dispersion; bool valid; } changes[] = {
        {0x1A, 0x8000, true}, {0x5C, 0x8000, true}, {0xDC, 0x8000, false}, {0x1B, 0x8000, false},
        {0x1D, 0x8000, false}, {0x1C, 0x640000, false}, {0x1C, 0x63FFFF, true}};
    for (auto [first, dispersion, valid] : changes) {
        NTPPacket packet(serverReply([&](Datagram& b) { b[0] = first, put32(b, 8, dispersion); }), kNow);
        EXPECT_EQ(packet.isValidResponse(), valid) << int(first) << " " << dispersion;
    }
    // The reply must have left the server less than 0.1 s before the test.
    NTPPacket packet(serverReply(), kNow);
    EXPECT_TRUE(packet.isValidResponse(kNow + 0.05));
    EXPECT_FALSE(packet.isValidResponse(kNow + 0.15));
}

TEST(NTPPacketTest, TimestampsTakeTheEraNearestTheDeviceClock) {
    for (double t : {kNow, kWrap - 0.5, kWrap + 0.25, 2'500'000'000.75, 4'000'000'000.5, -2208988799.5}) {
        auto encoded = NTPPacket::encodeTimestamp(t).value();
        EXPECT_NEAR(NTPPacket::decodeTimestamp(encoded, t + 1e9), t, 1e-6) << "up to 68 years ahead";
        EXPECT_NEAR(NTPPacket::decodeTimestamp(encoded, t - 1e9), t, 1e-6) << "up to 68 years behind";
    }
    EXPECT_EQ(*NTPPacket::encodeTimestamp(kWrap), 0u) << "era 1 starts at second 0 (the one instant read as no time)";
    EXPECT_EQ(*NTPPacket::encodeTimestamp(kWrap + 1), 1ull << 32);
    // After the wrap, a reply decodes into era 1, and the request encodes.
    ScopedClock clock(kWrap + 3600, 100);
    NTPPacket reply(serverReply(), kWrap + 3600);
    EXPECT_NEAR(reply.transmitTime, kWrap + 3600, 1e-6);
    EXPECT_TRUE(reply.isValidResponse());
    EXPECT_EQ(readUInt32(*NTPPacket(3, NTPPacket::Mode::client).data(), 40, true), 3600u);
}

TEST(InternetAddressTest, SocketAddressesTextAndEquality) {
    auto a = ipv4("192.0.2.7", 9);
    EXPECT_EQ(a.addressData(123), (std::vector<std::uint8_t>{2, 0, 0, 0x7B, 192, 0, 2, 7, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_FALSE(a.addressData(-1) || a.addressData(65536));
    EXPECT_EQ(a, ipv4("192.0.2.7", 10)) << "ports are not compared";
    EXPECT_EQ(std::hash<InternetAddress>()(a), std::hash<InternetAddress>()(ipv4("192.0.2.7", 10)));
    sockaddr_in6 v6{AF_INET6, 0, 0, {}, 0};
    ::inet_pton(AF_INET6, "2001:db8::1", &v6.sin6_addr);
    EXPECT_EQ(InternetAddress::ipv6(v6).addressData(123)->size(), 28u);
    EXPECT_FALSE(a == InternetAddress::ipv6(v6));
    // Records are read only when they are as long as their family's.
    auto six = reinterpret_cast<const sockaddr*>(&v6);
    auto fourBytes = *a.addressData(123);
    auto four = reinterpret_cast<const sockaddr*>(fourBytes.data());
    EXPECT_EQ(InternetAddress::fromSocketAddress(six, sizeof v6)->host(), "2001:db8::1");
    EXPECT_EQ(InternetAddress::fromSocketAddress(four, 16)->host(), "192.0.2.7");
    EXPECT_FALSE(InternetAddress::fromSocketAddress(six, sizeof v6 - 1));
    EXPECT_FALSE(InternetAddress::fromSocketAddress(four, 15));
    sockaddr_storage unix{};
    unix.ss_family = AF_UNIX;
    EXPECT_FALSE(InternetAddress::fromSocketAddress(reinterpret_cast<const sockaddr*>(&unix), sizeof unix));
    EXPECT_FALSE(InternetAddress::fromSocketAddress(nullptr, 16));
}

TEST(BlockTimerTest, FiresOnceOrUntilInvalidated) {
    DispatchQueue queue("timers");
    std::atomic<int> once{0}, repeating{0}, fired{0};
    std::promise<void> third;
    auto single = BlockTimer::scheduledTimer(0.01, false, [&](BlockTimer&) { ++once; }, queue);
    auto repeated = BlockTimer::scheduledTimer(0.01, true, [&](BlockTimer& timer) {
        if (++repeating == 3) timer.invalidate(), third.set_value();  // from its own callback
    }, queue);
    auto cancelled = BlockTimer::scheduledTimer(0.05, false, [&](BlockTimer&) { ++fired; }, queue);
    cancelled->invalidate();
    EXPECT_EQ(third.get_future().wait_for(5s), std::future_status::ready);
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(once * 10 + repeating, 13);
    EXPECT_FALSE(single->isValid() || repeated->isValid() || cancelled->isValid() || fired);
}

TEST_F(NTPClientTest, ResolvesOnTheMainQueueOnceWithinItsTimeLimit) {
    using Hosts = std::set<std::string>;
    EXPECT_TRUE(resolved("localhost").count("127.0.0.1")) << "from the hosts file";
    EXPECT_EQ(resolved("127.0.0.1"), Hosts{"127.0.0.1"});
    EXPECT_EQ(resolved("no-such-host.invalid"), Hosts{}) << "refused by the name server";
    // The loopback name server leaves the first two queries (A and AAAA) unanswered: it is asked again.
    ::setenv("RES_OPTIONS", "retrans:300", 1);
    std::atomic<int> dropped{0};
    UdpResponder dns([&](const Datagram& query) { return dropped++ < 2 ? Replies{} : Replies{{dnsAnswer(query)}}; });
    useServer(dns.port());
    EXPECT_EQ(resolved("ntp.test"), (Hosts{"127.0.0.1", "::1"}));
    ::unsetenv("RES_OPTIONS");
    const int asked = dns.requestCount();
    EXPECT_EQ(resolved(""), Hosts{});
    EXPECT_EQ(dns.requestCount(), asked) << "no name: nothing is asked";
    // A name server that answers after the time limit: no address, and the answer finds no completion to call.
    UdpResponder slow([](const Datagram& query) { return Replies{{dnsAnswer(query), 0.4}}; });
    useServer(slow.port());
    EXPECT_EQ(resolved("slow.test", 0.15), Hosts{});
    std::this_thread::sleep_for(900ms);
    EXPECT_GE(slow.requestCount(), 1);
}

TEST(NTPClientOffsetTest, MedianOfTheLeastDelayUsableReplyOfEachAddress) {
    constexpr double t = 1'700'000'000;
    ScopedClock clock(t + 1, 100);
    std::pair<std::vector<std::vector<NTPPacket>>, double> cases[] = {
        {{{replyWith(t, 0.30, 0.02)}, {replyWith(t, -0.10, 0.02)}}, 0.30},  // the upper middle
        {{{replyWith(t, 0.3, 0.02)}, {replyWith(t, -0.1, 0.02)}, {replyWith(t, 0.2, 0.02)}}, 0.2},
        {{{replyWith(t, 4, 0.02)}, {replyWith(t, 1, 0.02)}, {replyWith(t, 3, 0.02)}, {replyWith(t, 2, 0.02)}}, 3},
        {{{replyWith(t, 0.7, 0.08), replyWith(t, 0.5, 0.05), replyWith(t, 0.6, 0.05)}}, 0.5},
        {{{replyWith(t - 8.5, 0.4, 0.01), replyWith(t - 9, 0.9, 0.001)}, {}}, 0.4},  // sent 10 s or more ago
        {{{replyWith(t, kNaN, 0.01), replyWith(t, 0.25, 0.05)}, {replyWith(t, 3e9, 0.001)},  // not finite or absurd
          {replyWith(t, kInf, 0)}, {replyWith(t, 0.1, -3e9)}}, 0.25},
    };
    for (const auto& [packets, offset] : cases) EXPECT_NEAR(NTPClient::offset(packets), offset, 1e-6) << offset;
    for (const auto& none : std::vector<std::vector<std::vector<NTPPacket>>>{{}, {{}}, {{replyWith(t - 11, 0.1, 0.01)}},
             {{replyWith(t + 11, 0.1, 0.01)}}, {{replyWith(t, -3e9, 0.01)}}})
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
        for (std::size_t i = 0; i < total; ++i)  // each of chronyd's replies counts
            EXPECT_TRUE(reports[i].done == static_cast<int>(i) + 1 && (reports[i].offset || shift)) << i;
        EXPECT_NEAR(reports.back().offset.value_or(kNaN), shift, 0.05);
        EXPECT_NEAR(TimeManager::shared().now().timeIntervalSince1970 - TimeManager::deviceClock(), shift, 0.05);
        EXPECT_TRUE(TimeManager::loadStableTime()) << "stored as well";
    }
}

TEST_F(NTPClientTest, OnlyAnEchoFromThePeerWithSaneValuesIsUsed) {
    auto changed = [](std::function<void(Datagram&)> change, UdpResponder::From from = UdpResponder::server) {
        return [=](const Datagram& request) {
            auto bytes = UdpResponder::ntpReply(request, 2.0);
            return change(bytes), Replies{{bytes, 0, from}};
        };
    };
    auto same = changed([](Datagram&) {});
    // A request without a usable reply waits for it until its timer, after a mark due at half its time; the reply
    // of a peer that fails the sanity test ends it at once. A closed port (the peer refuses the request) and one
    // no socket address can hold (no socket) get nothing asked.
    struct Case { const char* name; UdpResponder::Script script; std::optional<double> offset; bool waits; int port; };
    Case cases[] = {
        {"unchanged", same, 2.0, false, 0},
        {"no reply", [](const Datagram&) { return Replies{}; }, {}, true, 0},
        {"short", changed([](Datagram& b) { b.resize(47); }), {}, true, 0},
        {"stratum 0", changed([](Datagram& b) { b[1] = 0; }), {}, false, 0},
        {"zero receive time", changed([](Datagram& b) { std::fill(b.begin() + 32, b.begin() + 40, 0); }), {}, true, 0},
        {"zero transmit time", changed([](Datagram& b) { std::fill(b.begin() + 40, b.end(), 0); }), {}, true, 0},
        {"another origin", changed([](Datagram& b) { b[31] ^= 1; }), {}, true, 0},
        {"from another port", changed([](Datagram&) {}, UdpResponder::otherPort), {}, true, 0},
        {"from another address", changed([](Datagram&) {}, UdpResponder::otherAddress), {}, true, 0},
        {"a forged reply first", [](const Datagram& request) {
             auto forged = UdpResponder::ntpReply(request, 500);
             forged[30] ^= 0x10;  // a guessed origin, wrong in one bit
             return Replies{{forged, 0}, {UdpResponder::ntpReply(request, 1.5), 0.05}};
         }, 1.5, false, 0},
        {"refused", same, {}, true, LoopbackServer::unusedPort()},
        {"unsent", same, {}, true, 70000},
    };
    for (const auto& [name, script, offset, waits, port] : cases) {
        UdpResponder responder(script);
        ProgressRecorder recorder;
        std::string order;  // main queue only
        auto mark = BlockTimer::scheduledTimer(0.25, false, [&](BlockTimer&) { order += "mark "; });
        NTPClient::query("127.0.0.1", port ? port : responder.port(), 3, 0.5, 1, 5,
                         recorder.handler([&](auto...) { order += "report"; }));
        auto reports = recorder.waitFor(1);
        DispatchQueue::main().sync([&] { mark->invalidate(); });
        ASSERT_EQ(reports.size(), 1u) << name;
        EXPECT_NEAR(reports[0].offset.value_or(-1e9), offset.value_or(-1e9), 0.05) << name;  // -1e9: none
        EXPECT_EQ(reports[0].done * 10 + reports[0].total + responder.requestCount() * 100, port ? 11 : 111) << name;
        EXPECT_TRUE(!waits || order == "mark report") << name << ": " << order;
    }
}

TEST_F(NTPClientTest, ProgressCountsEveryRequestOfTheServersUsed) {
    // Seven addresses, five used, four requests each, one after another: twenty reports, and no more.
    std::vector<InternetAddress> seven;
    for (int i = 1; i <= 7; ++i) seven.push_back(ipv4("127.0.0." + std::to_string(i)));
    ProgressRecorder recorder;
    auto client = std::make_shared<NTPClient>(LoopbackServer::unusedPort(), 3, 0.1, 4, 5, recorder.handler());
    DispatchQueue::main().async([client, seven] { client->query(seven); });
    auto reports = recorder.waitFor(21, 3);
    ASSERT_EQ(reports.size(), 20u);
    for (int i = 0; i < 20; ++i) EXPECT_EQ(reports[i].done * 100 + reports[i].total, (i + 1) * 100 + 20);
    ProgressRecorder empty;  // no address: one report (none, 0, 0)
    NTPClient::query("no-such-host.invalid", 123, 3, 1.0, 4, 5, empty.handler());
    auto single = empty.waitFor(2, 1);
    EXPECT_TRUE(single.size() == 1 && !single[0].offset && single[0].done + single[0].total == 0);
}

TEST_F(NTPClientTest, TheStartUpRunAsksFiveNamedServersOnPort123FourTimesEach) {
    // The platform's host names six loopback addresses, each with a server on port 123 that leaves the first
    // request unanswered and answers the others: the run takes about one request time-out.
    for (int i = 1; i <= 6; ++i) {
        sockaddr_in at{AF_INET, htons(123), {}, {}};
        ::inet_pton(AF_INET, ("127.0.0." + std::to_string(i)).c_str(), &at.sin_addr);
        const int probe = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        const int error = ::bind(probe, reinterpret_cast<sockaddr*>(&at), sizeof at) == 0 ? 0 : errno;
        ::close(probe);
        if (error == EACCES) GTEST_SKIP() << "binding port 123 needs root or ip_unprivileged_port_start <= 123";
        if (error) GTEST_SKIP() << "cannot bind 127.0.0." << i << ":123: " << std::strerror(error);
    }
    using Arrival = std::pair<std::chrono::steady_clock::time_point, int>;  // with the first byte
    std::mutex lock;
    std::vector<Arrival> arrivals[6];
    std::vector<std::unique_ptr<UdpResponder>> servers;
    for (int i = 0; i < 6; ++i)
        servers.push_back(std::make_unique<UdpResponder>([&, i](const Datagram& request) {
            std::lock_guard guard(lock);
            arrivals[i].emplace_back(std::chrono::steady_clock::now(), request.empty() ? 0 : int(request[0]));
            return arrivals[i].size() == 1 ? Replies{} : Replies{{UdpResponder::ntpReply(request)}};
        }, "127.0.0." + std::to_string(i + 1), 123));
    UdpResponder dns([](const Datagram& query) { return Replies{{loopbacksAnswer(query, 6)}}; });
    useServer(dns.port());
    auto config = platform.configuration();
    config.ntpServerHost = "pool.time.test";
    platform.apply(config);
    TimeManager::setStableTime(std::nullopt);
    NTPClient::synchronizeClock();
    auto requests = [&] {
        int count = 0;
        for (const auto& server : servers) count += server->requestCount();
        return count;
    };
    const auto until = std::chrono::steady_clock::now() + 15s;
    while (requests() < 20 && std::chrono::steady_clock::now() < until) std::this_thread::sleep_for(50ms);
    std::this_thread::sleep_for(300ms);  // room for a request too many, and for the last report
    DispatchQueue::main().sync([] {});
    std::lock_guard guard(lock);
    std::multiset<std::size_t> counts;
    for (const auto& seen : arrivals) {
        counts.insert(seen.size());
        for (const auto& arrival : seen) EXPECT_EQ(arrival.second, 0x1B) << "leap 0, version 3, client";
        if (seen.size() < 2) continue;
        const double gap = std::chrono::duration<double>(seen[1].first - seen[0].first).count();
        EXPECT_TRUE(gap >= 5.8 && gap < 7.0) << gap << " s until the unanswered request's successor";
    }
    EXPECT_EQ(counts, (std::multiset<std::size_t>{0, 4, 4, 4, 4, 4})) << "requests per address";
    EXPECT_NEAR(TimeManager::stableTime().value_or(StableTime{0, 0, kNaN}).offset, 0, 0.05) << "recorded";
    TimeManager::setStableTime(std::nullopt);
}

TEST_F(NTPClientTest, AFloodOfUnusableRepliesDoesNotHoldUpTheMainQueue) {
    // For up to 5 s the server sends datagrams never usable (a wrong origin), and a device clock that takes
    // 0.2 ms to read makes each cost the client more than the sender: the request still ends by its timer.
    TimeManager::setClockForTesting([] {
        for (auto until = std::chrono::steady_clock::now() + 200us; std::chrono::steady_clock::now() < until;) continue;
        return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    }, {});
    UdpResponder flood([](const Datagram& request) {
        auto junk = UdpResponder::ntpReply(request);
        junk[31] ^= 1;
        Replies replies(250'000, UdpResponder::Reply{junk});
        for (std::size_t i = 0; i < replies.size(); ++i) replies[i].delay = static_cast<double>(i) * 20e-6;
        return replies;
    });
    ProgressRecorder recorder;
    const auto started = std::chrono::steady_clock::now();
    NTPClient::query("127.0.0.1", flood.port(), 3, 0.3, 1, 5, recorder.handler());
    auto reports = recorder.waitFor(1, 6);
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count(), 2.0);
    TimeManager::setClockForTesting({}, {});
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].offset, std::nullopt);
}

TEST_F(NTPClientTest, RepliesReadLateAreTimedByTheirArrival) {
    // Three servers on one port of three loopback addresses. The first answers at once with its clock 1 s behind,
    // and its report's handler holds the main queue for 0.3 s (as a slow disk under the stable-time record would);
    // the other two, on the device's clock, answer 10 ms later, their replies waiting in the sockets meanwhile.
    // The median is one of theirs: 0, neither skewed by the wait nor dropped for it.
    std::vector<std::unique_ptr<UdpResponder>> servers;
    for (int i = 1, port = 0; i <= 3; ++i, port = servers[0]->port())
        servers.push_back(std::make_unique<UdpResponder>([i](const Datagram& request) {
            if (i > 1) std::this_thread::sleep_for(10ms);
            return Replies{{UdpResponder::ntpReply(request, i == 1 ? -1.0 : 0.0)}};
        }, "127.0.0." + std::to_string(i), port));
    ProgressRecorder recorder;
    std::atomic<bool> held{false};
    auto client = std::make_shared<NTPClient>(servers[0]->port(), 3, 2.0, 1, 5, recorder.handler([&](auto...) {
        if (!held.exchange(true)) std::this_thread::sleep_for(300ms);
    }));
    DispatchQueue::main().async([client] { client->query({ipv4("127.0.0.1"), ipv4("127.0.0.2"), ipv4("127.0.0.3")}); });
    auto reports = recorder.waitFor(3);
    ASSERT_EQ(reports.size(), 3u);
    EXPECT_NEAR(reports.back().offset.value_or(kNaN), 0, 0.02);
}

TEST(TimeManagerTest, TheDeviceClockCorrectedByTheStableTimeAndDiscreteIntervals) {
    double uptime = TimeManager::systemUptime(), wall = TimeManager::deviceClock();  // the real clocks
    EXPECT_TRUE(uptime > 0 && uptime < wall && wall > 1'600'000'000 && TimeManager::systemUptime() >= uptime);
    EXPECT_NEAR(now(), SVDate::now().timeIntervalSince1970, 1.0);
    ScopedPlatform platform(SVLoggingOptions::debug);
    ScopedClock clock(1'650'000'000.25, 42);
    EXPECT_EQ(now(), 1'650'000'000.25) << "no stable time";
    clock.set(1'234'567'890, 1060);  // from here the device clock plays no part
    TimeManager::setStableTime(StableTime{1000, 1'700'000'000, 2.5});
    EXPECT_EQ(now(), 1'700'000'062.5);
    EXPECT_EQ(TimeManager::shared().discreteTimeInterval(180), 1'700'000'062.5 / 180) << "unrounded";
    std::vector<std::string> logged;  // in the common category
    for (const auto& e : platform.log().entries())
        logged.push_back((e.category == SVLogCategory::common ? "" : "?") + e.message);
    EXPECT_EQ(logged, (std::vector<std::string>{"Time Interval 1700000062.5",
                                                "Discrete Time Interval 9444444.791666666"}));
    EXPECT_TRUE(std::isinf(TimeManager::shared().discreteTimeInterval(0)));
}

TEST_F(StableTimeStoreTest, RestoresAWellFormedRecordOnlyFromThisBootAndKeepsItStored) {
    TimeManager::saveStableTime(kRecord);
    EXPECT_EQ(storedValue(), json({{"Uptime", 100.0}, {"Timestamp", 1'700'000'000.0}, {"Offset", 2.5}}));
    struct { double wall, uptime; bool sameBoot; } cases[] = {
        {kBoot + 160.4, 160, true},   // same boot within rounding
        {kBoot + 160, 158, false},    // booted two seconds later than when the record was made
        {kBoot + 160, 158.6, false},  // 1.4 s: still another boot
        {kBoot + 3600, 3600, true},   // same boot, an hour on
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.uptime);
        TimeManager::setStableTime(std::nullopt);
        clock.set(c.wall, c.uptime);
        SVSDK::restoreClockOffset();
        EXPECT_EQ(TimeManager::stableTime(), c.sameBoot ? std::optional(kRecord) : std::nullopt);
        EXPECT_EQ(now(), c.sameBoot ? 1'700'000'002.5 + c.uptime - 100 : c.wall);
        EXPECT_EQ(storedValue(), stable_time_store::record(kRecord)) << "kept, or written back unchanged";
    }
    // Malformed or non-finite stored values give no record.
    const json two = {{"Uptime", 100.0}, {"Timestamp", 1'700'000'000.0}};
    auto with = [&](json m, const char* key = "Offset") { json v = two; v["Offset"] = 2.5, v[key] = m; return v; };
    for (const auto& value : {two, json("a string"), json::array({100.0, 1'700'000'000.0, 2.5}), with("2.5"),
                              with(nullptr), with(true), with("x", "Note")}) {
        DefaultsStore::setValue("SVStableTime", value);
        SVSDK::restoreClockOffset();
        EXPECT_EQ(TimeManager::stableTime(), std::nullopt) << value.dump();
        EXPECT_EQ(storedValue(), value) << "a refused value is left alone";
    }
    DefaultsStore::setValue("SVStableTime", json({{"Uptime", 100}, {"Timestamp", 1'700'000'000}, {"Offset", 2}}));
    EXPECT_EQ(TimeManager::loadStableTime(), (StableTime{100, 1'700'000'000, 2})) << "integers are numbers too";
    std::map<std::string, double> good{{"Uptime", 100}, {"Timestamp", 1'700'000'000}, {"Offset", 2.5}};
    EXPECT_EQ(TimeManager::storedStableTime(good), kRecord);
    for (const char* key : {"Uptime", "Timestamp", "Offset"})
        for (double bad : {kInf, -kInf, kNaN}) {
            auto dictionary = good;
            dictionary[key] = bad;
            EXPECT_EQ(TimeManager::storedStableTime(dictionary), std::nullopt) << key << " " << bad;
        }
    // JSON has no non-finite numbers: such a record is stored with null and reads back as no record.
    TimeManager::saveStableTime(StableTime{100, 1'700'000'000, kNaN});
    EXPECT_EQ(storedValue(), with(nullptr));
    EXPECT_EQ(TimeManager::loadStableTime(), std::nullopt);
}

TEST_F(StableTimeStoreTest, EveryReportWithAnOffsetReplacesTheRecord) {
    using Calls = std::vector<std::pair<std::optional<double>, std::optional<double>>>;
    Calls firstReports, completions;
    auto handler = TimeManager::recordStableTime(
        [&](SVDate now, double offset) { firstReports.emplace_back(now.timeIntervalSince1970, offset); },
        [&](std::optional<SVDate> now, std::optional<double> offset) {
            completions.emplace_back(now ? std::optional(now->timeIntervalSince1970) : std::nullopt, offset);
        });
    handler(std::nullopt, 0, 0);  // an empty resolution completes at once, with nothing
    for (int done = 1; done <= 20; ++done) {
        clock.advance(1);
        handler(0.25 * done, done, 20);
        StableTime expected{160.0 + done, kBoot + 160 + done, 0.25 * done};
        EXPECT_EQ(TimeManager::stableTime(), expected);
        EXPECT_EQ(storedValue(), stable_time_store::record(expected)) << "written at report " << done;
    }
    // A report without an offset keeps the record in force; saving none stores and removes nothing.
    clock.advance(10);
    handler(std::nullopt, 20, 20);
    TimeManager::saveStableTime(std::nullopt);
    EXPECT_EQ(TimeManager::stableTime(), (StableTime{180, kBoot + 180, 5.0}));
    EXPECT_EQ(storedValue(), stable_time_store::record({180, kBoot + 180, 5.0}));
    EXPECT_EQ(firstReports, (Calls{{kBoot + 161 + 0.25, 0.25}}));
    EXPECT_EQ(completions, (Calls{{std::nullopt, std::nullopt}, {kBoot + 185, 5.0}, {kBoot + 195, std::nullopt}}));
    // Without callbacks a report only records.
    TimeManager::recordStableTime()(1.5, 1, 1);
    EXPECT_EQ(TimeManager::stableTime(), (StableTime{190, kBoot + 190, 1.5}));
}
