#include <gtest/gtest.h>

#include <limits>
#include <vector>

#include "Core/Time/NTPPacket.h"
#include "support/ScopedClock.h"

using namespace svsdk;
using svsdk::testing::ScopedClock;
using Bytes = std::vector<std::uint8_t>;

namespace {

constexpr double kNow = 1'700'000'000.25;

// A sane server reply at the device clock, as 48 bytes to change.
Bytes serverReply(double now) {
    NTPPacket packet(3, NTPPacket::Mode::server);
    packet.stratum = NTPPacket::Stratum::secondary;
    packet.rootDelay = 0.5;
    packet.rootDispersion = 0.5;
    packet.originTime = now - 0.02;
    packet.receiveTime = now - 0.01;
    auto bytes = *packet.data(now - 0.01);
    return {bytes.begin(), bytes.end()};
}

std::string hex(const NTPPacket::Bytes& bytes) {
    std::string text;
    char digits[3];
    for (auto b : bytes) {
        std::snprintf(digits, sizeof digits, "%02x", b);
        text += digits;
    }
    return text;
}

}  // namespace

TEST(NTPPacketTest, EncodesTheClientRequest) {
    NTPPacket request(3, NTPPacket::Mode::client);
    EXPECT_EQ(hex(*request.data(0.0)), "1b0004fa0001000000010000" + std::string(56, '0') + "83aa7e8000000000");
    EXPECT_EQ(request.transmitTime, 0.0);
    // Half a second into 2023: seconds 0xE8F2AA80 (3908217472), fraction 0x80000000.
    EXPECT_EQ(hex(*request.data(1'699'228'672.5)).substr(80), "e8f2aa8080000000");
    ScopedClock clock(kNow, 100);
    request.data();
    EXPECT_EQ(request.transmitTime, kNow) << "the device clock when no time is given";
}

TEST(NTPPacketTest, NeverEncodesFieldsOutsideTheirWireRange) {
    for (double bad : {std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity(), 1e300}) {
        NTPPacket request(3, NTPPacket::Mode::client);
        EXPECT_EQ(request.data(bad), std::nullopt) << bad;
    }
    NTPPacket delay(3, NTPPacket::Mode::client);
    delay.rootDelay = 65536;
    EXPECT_EQ(delay.data(0.0), std::nullopt);
    NTPPacket dispersion(3, NTPPacket::Mode::client);
    dispersion.rootDispersion = -0.5;
    EXPECT_EQ(dispersion.data(0.0), std::nullopt);
    EXPECT_EQ(NTPPacket(8, NTPPacket::Mode::client).data(0.0), std::nullopt) << "version in 3 bits";
}

TEST(NTPPacketTest, DecodesFieldsAndFixedPointValues) {
    ScopedClock clock(kNow, 100);
    auto bytes = serverReply(kNow);
    bytes[0] = 0xDC;  // leap 3, version 3, mode 4
    bytes[2] = 0x0A;
    bytes[3] = 0xE9;  // -23
    for (auto [at, value] : std::vector<std::pair<int, std::uint8_t>>{{4, 0x80}, {5, 0}, {6, 0}, {7, 0}, {8, 0x00},
                                                                     {9, 0x01}, {10, 0x40}, {11, 0x00}})
        bytes[at] = value;
    NTPPacket packet(bytes, kNow + 1);
    EXPECT_EQ(packet.leap, NTPPacket::LeapIndicator::alarm);
    EXPECT_EQ(packet.version, 3);
    EXPECT_EQ(packet.mode, NTPPacket::Mode::server);
    EXPECT_EQ(packet.poll, 10);
    EXPECT_EQ(packet.precision, -23);
    EXPECT_EQ(packet.rootDelay, 32768.0) << "0x80000000 is unsigned";
    EXPECT_EQ(packet.rootDispersion, 1.25);
    EXPECT_NEAR(packet.transmitTime, kNow - 0.01, 1e-6);
    EXPECT_EQ(packet.destinationTime, kNow + 1);

    Bytes zero(48, 0);
    EXPECT_EQ(NTPPacket(zero, 0).originTime, -2208988800.0) << "zero is the NTP epoch";
    EXPECT_EQ(NTPPacket::leapFromRaw(4), std::nullopt);
    EXPECT_EQ(NTPPacket::modeFromRaw(7), NTPPacket::Mode::unknown);
    EXPECT_EQ(NTPPacket::modeFromRaw(8), std::nullopt);
}

TEST(NTPPacketTest, BufferLengths) {
    ScopedClock clock(kNow, 100);
    auto bytes = serverReply(kNow);
    try {
        NTPPacket(std::span(bytes.data(), 47), 0);
        ADD_FAILURE() << "a 47-byte reply decoded";
    } catch (const NTPParsingError& e) {
        EXPECT_STREQ(e.what(), "Invalid PDU length: 47");
    }
    EXPECT_THROW(NTPPacket(Bytes{}, 0), NTPParsingError);
    auto longer = bytes;
    longer.resize(60, 0xFF);
    NTPPacket a(bytes, 5), b(longer, 5);
    EXPECT_EQ(*a.data(a.transmitTime), *b.data(b.transmitTime));
    EXPECT_THROW(readUInt32(bytes, 45, true), std::out_of_range);
    EXPECT_EQ(readUInt32(Bytes{1, 2, 3, 4}, 0, true), 0x01020304u);
    EXPECT_EQ(readUInt32(Bytes{1, 2, 3, 4}, 0, false), 0x04030201u);
}

TEST(NTPPacketTest, StratumCategoriesAndReferenceClocks) {
    ScopedClock clock(kNow, 100);
    using Kind = NTPPacket::ClockSource::Kind;
    struct Case {
        std::uint8_t stratum;
        std::uint32_t id;
        NTPPacket::Stratum category;
        Kind kind;
        std::string description;
    };
    std::vector<Case> cases = {
        {0, 0x52415445, NTPPacket::Stratum::unspecified, Kind::debug, ""},
        {1, 0x47505300, NTPPacket::Stratum::primary, Kind::referenceClock, "Global Position System"},
        {1, 0x31505053, NTPPacket::Stratum::primary, Kind::referenceClock, "External 1 PPS input"},
        {1, 0x494E4954, NTPPacket::Stratum::primary, Kind::referenceClock, "(Initialization)"},
        {1, 0x58585858, NTPPacket::Stratum::primary, Kind::referenceClock, "NULL"},
        {2, 0x7F000001, NTPPacket::Stratum::secondary, Kind::referenceIdentifier, ""},
        {14, 1, NTPPacket::Stratum::secondary, Kind::referenceIdentifier, ""},
        {15, 1, NTPPacket::Stratum::invalid, Kind::referenceIdentifier, ""},
        {16, 1, NTPPacket::Stratum::invalid, Kind::referenceIdentifier, ""},
        {255, 1, NTPPacket::Stratum::invalid, Kind::referenceIdentifier, ""},
    };
    for (const auto& c : cases) {
        auto bytes = serverReply(kNow);
        bytes[1] = c.stratum;
        for (int i = 0; i < 4; ++i) bytes[12 + i] = static_cast<std::uint8_t>(c.id >> (24 - 8 * i));
        NTPPacket packet(bytes, kNow);
        EXPECT_EQ(packet.stratum, c.category) << int(c.stratum);
        EXPECT_EQ(packet.clockSource, (NTPPacket::ClockSource{c.kind, c.id, c.description})) << int(c.stratum);
        bool primaryOrSecondary = c.stratum >= 1 && c.stratum <= 14;
        EXPECT_EQ(packet.isValidResponse(), primaryOrSecondary) << int(c.stratum);
    }
}

TEST(NTPPacketTest, SanityTest) {
    ScopedClock clock(kNow, 100);
    struct Case {
        const char* name;
        std::function<void(Bytes&)> change;
        bool valid;
    };
    std::vector<Case> cases = {
        {"sane", [](Bytes&) {}, true},
        {"mode 2", [](Bytes& b) { b[0] = 0x1A; }, true},
        {"mode 4, leap 3", [](Bytes& b) { b[0] = 0xDC; }, false},
        {"leap 1", [](Bytes& b) { b[0] = 0x5C; }, true},
        {"mode 3", [](Bytes& b) { b[0] = 0x1B; }, false},
        {"mode 5", [](Bytes& b) { b[0] = 0x1D; }, false},
        {"dispersion 100 s", [](Bytes& b) { b[8] = 0x00, b[9] = 0x64, b[10] = 0, b[11] = 0; }, false},
        {"dispersion just under 100 s", [](Bytes& b) { b[8] = 0x00, b[9] = 0x63, b[10] = 0xFF, b[11] = 0xFF; }, true},
    };
    for (const auto& c : cases) {
        auto bytes = serverReply(kNow);
        c.change(bytes);
        EXPECT_EQ(NTPPacket(bytes, kNow).isValidResponse(), c.valid) << c.name;
    }
    // The reply must have left the server less than 0.1 s before the test.
    auto bytes = serverReply(kNow);
    NTPPacket packet(bytes, kNow);
    clock.advance(0.05);
    EXPECT_TRUE(packet.isValidResponse());
    clock.advance(0.1);
    EXPECT_FALSE(packet.isValidResponse());
}

TEST(NTPPacketTest, TimestampsTakeTheEraNearestTheDeviceClock) {
    // 2036-02-07 06:28:16 UTC ends era 0.
    constexpr double wrap = 2085978496.0;
    for (double t : {kNow, wrap - 0.5, wrap + 0.25, 2'500'000'000.75, 4'000'000'000.5, -2208988799.5}) {
        auto encoded = NTPPacket::encodeTimestamp(t);
        ASSERT_TRUE(encoded) << t;
        EXPECT_NEAR(NTPPacket::decodeTimestamp(*encoded, t + 1e9), t, 1e-6) << "up to 68 years ahead";
        EXPECT_NEAR(NTPPacket::decodeTimestamp(*encoded, t - 1e9), t, 1e-6) << "up to 68 years behind";
    }
    EXPECT_EQ(*NTPPacket::encodeTimestamp(wrap), 0u) << "era 1 starts at second 0 (the one instant read as no time)";
    EXPECT_EQ(*NTPPacket::encodeTimestamp(wrap + 1), 1ull << 32);

    // After the wrap, a reply decodes into era 1, and the request encodes.
    ScopedClock clock(wrap + 3600, 100);
    auto bytes = serverReply(wrap + 3600);
    NTPPacket reply(bytes, wrap + 3600);
    EXPECT_NEAR(reply.transmitTime, wrap + 3600 - 0.01, 1e-6);
    EXPECT_TRUE(reply.isValidResponse());
    NTPPacket request(3, NTPPacket::Mode::client);
    auto encoded = request.data();
    ASSERT_TRUE(encoded);
    EXPECT_EQ(readUInt32(*encoded, 40, true), 3600u);
}
