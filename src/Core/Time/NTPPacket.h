#pragma once
// One NTP header (the 48 bytes of RFC 5905) in decoded form, the client
// request, and the encoder, decoder and sanity test of server replies. Times
// are seconds since 1970 (64-bit floating point); only the encoder and the
// decoder deal in NTP timestamps, which count from 1900 and wrap every 2^32 s:
// both take the era nearest to the device clock, so they keep working after
// the first wrap in 2036.
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>

namespace svsdk {

// A reply that cannot be decoded.
class NTPParsingError : public std::runtime_error {
public:
    static NTPParsingError invalidNTPPDU(const std::string& message) { return NTPParsingError(message); }

private:
    explicit NTPParsingError(const std::string& message) : std::runtime_error(message) {}
};

// No usable reply to compute an offset from.
class NTPNetworkError : public std::runtime_error {
public:
    enum class Code { noValidNTPPacketFound };
    static NTPNetworkError noValidNTPPacketFound() { return NTPNetworkError(Code::noValidNTPPacketFound); }
    Code code() const noexcept { return code_; }

private:
    explicit NTPNetworkError(Code code) : std::runtime_error("no valid NTP packet found"), code_(code) {}
    Code code_;
};

// Big-endian (or native-order) unsigned readers; throw std::out_of_range
// when the bytes are not all inside `data`.
std::uint8_t readUInt8(std::span<const std::uint8_t> data, std::size_t at);
std::uint32_t readUInt32(std::span<const std::uint8_t> data, std::size_t at, bool bigEndian);
std::uint64_t readUInt64(std::span<const std::uint8_t> data, std::size_t at, bool bigEndian);

struct NTPPacket {
    static constexpr std::size_t size = 48;
    // Seconds from 1900-01-01 to 1970-01-01.
    static constexpr double epochDelta = 2208988800.0;
    using Bytes = std::array<std::uint8_t, size>;

    enum class LeapIndicator : std::uint8_t { noWarning = 0, sixtyOneSeconds = 1, fiftyNineSeconds = 2, alarm = 3 };
    enum class Mode : std::uint8_t {
        reserved = 0,
        symmetricActive = 1,
        symmetricPassive = 2,
        client = 3,
        server = 4,
        broadcast = 5,
        reservedNTP = 6,
        unknown = 7,
    };
    // The sender's stratum as a category; the order is the encoded ordinal.
    enum class Stratum : std::uint8_t { unspecified, primary, secondary, invalid };

    // The reference identifier, read by the stratum: a primary server's
    // reference clock (with its description, "NULL" when unknown), the
    // identifier of a stratum-0 packet, or a secondary sender's reference.
    struct ClockSource {
        enum class Kind { referenceClock, debug, referenceIdentifier };
        Kind kind = Kind::referenceIdentifier;
        std::uint32_t id = 0;
        std::string description;  // referenceClock only

        static ClockSource referenceClock(std::uint32_t id, std::string description) {
            return {Kind::referenceClock, id, std::move(description)};
        }
        static ClockSource debug(std::uint32_t id) { return {Kind::debug, id, {}}; }
        static ClockSource referenceIdentifier(std::uint32_t id) { return {Kind::referenceIdentifier, id, {}}; }
        friend bool operator==(const ClockSource&, const ClockSource&) = default;
    };

    static std::optional<LeapIndicator> leapFromRaw(std::uint8_t raw);
    static std::optional<Mode> modeFromRaw(std::uint8_t raw);
    // The description of a primary reference clock identifier; none when
    // the table has no such identifier.
    static std::optional<std::string> referenceClockDescription(std::uint32_t id);

    LeapIndicator leap = LeapIndicator::noWarning;
    std::int8_t version = 3;
    Mode mode = Mode::client;
    Stratum stratum = Stratum::unspecified;
    std::int8_t poll = 4;
    std::int8_t precision = -6;
    double rootDelay = 1.0;
    double rootDispersion = 1.0;
    ClockSource clockSource;
    double referenceTime = -epochDelta;
    double originTime = -epochDelta;
    double receiveTime = -epochDelta;
    double transmitTime = 0.0;
    double destinationTime = -1.0;  // by the device clock; not on the wire

    // A client request.
    NTPPacket(std::int8_t version, Mode mode);
    // Decodes the first 48 bytes of a reply that arrived at `destinationTime`;
    // throws NTPParsingError for a shorter buffer.
    NTPPacket(std::span<const std::uint8_t> data, double destinationTime);

    // Sets `transmitTime` (the device clock when none is given) and encodes
    // the packet. None when a field is out of its wire range (a non-finite
    // time, a root value outside [0, 65536), a version or mode above 7): such
    // a packet is never sent.
    std::optional<Bytes> data(std::optional<double> transmitTime = std::nullopt);

    // The sanity test of a server reply: mode server or symmetric passive, no
    // leap alarm, a primary or secondary stratum, a root dispersion under
    // 100 s, and a reply that left the server less than 0.1 s ago, by `now`
    // (the device clock when none is given).
    bool isValidResponse(std::optional<double> now = std::nullopt) const;

    // delay = (destination - origin) - (transmit - receive);
    // offset = ((receive - origin) + (transmit - destination)) / 2.
    double delay() const;
    double offset() const;

    // A 32.32 NTP timestamp for Unix time `t`; none when `t` is not finite
    // or lies beyond any era. Zero stands for "no time" only at 1900 itself.
    static std::optional<std::uint64_t> encodeTimestamp(double t);
    // Unix time of a timestamp, in the era nearest to `pivot` (Unix seconds);
    // a zero timestamp is the NTP epoch (-2208988800).
    static double decodeTimestamp(std::uint64_t timestamp, double pivot);
};

}  // namespace svsdk
