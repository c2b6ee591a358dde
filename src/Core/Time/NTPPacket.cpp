#include "Core/Time/NTPPacket.h"

#include <cmath>
#include <cstring>
#include <utility>

#include "Core/Time/TimeManager.h"

namespace svsdk {
namespace {

constexpr double twoTo32 = 4294967296.0;
constexpr std::int64_t epochDeltaSeconds = 2208988800;

struct ReferenceClock {
    const char code[5];
    const char* description;
};

// Primary reference clocks by their four identifier bytes.
constexpr ReferenceClock referenceClocks[] = {
    {"GPS", "Global Position System"},
    {"GAL", "Galileo Positioning System"},
    {"PPS", "Generic pulse-per-second"},
    {"IRIG", "Inter-Range Instrumentation Group"},
    {"WWVB", "LF Radio WWVB Ft. Collins, CO 60 kHz"},
    {"DCF", "LF Radio DCF77 Mainflingen, DE 77.5 kHz"},
    {"HBG", "LF Radio HBG Prangins, HB 75 kHz"},
    {"MSF", "LF Radio MSF Anthorn, UK 60 kHz"},
    {"JJY", "LF Radio JJY Fukushima, JP 40 kHz, Saga, JP 60 kHz"},
    {"LORC", "MF Radio LORAN C station, 100 kHz"},
    {"TDF", "MF Radio Allouis, FR 162 kHz"},
    {"CHU", "HF Radio CHU Ottawa, Ontario"},
    {"WWV", "HF Radio WWV Ft. Collins, CO"},
    {"WWVH", "HF Radio WWVH Kauai, HI"},
    {"NIST", "NIST telephone modem"},
    {"ACTS", "ACTS telephone modem"},
    {"USNO", "USNO telephone modem"},
    {"PTB", "European telephone modem"},
    {"LOCL", "Uncalibrated local clock"},
    {"CESM", "Calibrated Cesium clock"},
    {"RBDM", "Calibrated Rubidium clock"},
    {"OMEG", "OMEGA radio navigation system"},
    {"DCN", "DCN routing protocol"},
    {"TSP", "TSP time protocol"},
    {"DTS", "Digital Time Service"},
    {"ATOM", "Atomic clock (calibrated)"},
    {"VLF", "VLF radio (OMEGA,, etc.)"},
    {"1PPS", "External 1 PPS input"},
    {"FREE", "(Internal clock)"},
    {"INIT", "(Initialization)"},
};

std::uint32_t identifier(const char (&code)[5]) {
    std::uint32_t id = 0;
    for (int i = 0; i < 4; ++i) id = (id << 8) | static_cast<unsigned char>(code[i]);
    return id;
}

template <class T>
T readBytes(std::span<const std::uint8_t> data, std::size_t at, bool bigEndian) {
    if (at > data.size() || data.size() - at < sizeof(T)) throw std::out_of_range("read past the end of the data");
    T value = 0;
    if (bigEndian) {
        for (std::size_t i = 0; i < sizeof(T); ++i) value = static_cast<T>((value << 8) | data[at + i]);
    } else {
        std::memcpy(&value, data.data() + at, sizeof(T));
    }
    return value;
}

void put32(NTPPacket::Bytes& bytes, std::size_t at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<std::uint8_t>(value >> (24 - 8 * i));
}

void put64(NTPPacket::Bytes& bytes, std::size_t at, std::uint64_t value) {
    put32(bytes, at, static_cast<std::uint32_t>(value >> 32));
    put32(bytes, at + 4, static_cast<std::uint32_t>(value));
}

// 16.16 fixed point of a value in [0, 65536).
std::optional<std::uint32_t> shortFormat(double value) {
    if (!(value >= 0 && value < 65536.0)) return std::nullopt;
    double whole = std::trunc(value);
    auto fraction = static_cast<std::uint32_t>((value - whole) * 65536.0);
    return (static_cast<std::uint32_t>(whole) << 16) | fraction;
}

double fromShortFormat(std::uint32_t word) { return static_cast<double>(word & 0xFFFF) / 65536.0 + (word >> 16); }

}  // namespace

std::uint8_t readUInt8(std::span<const std::uint8_t> data, std::size_t at) {
    return readBytes<std::uint8_t>(data, at, true);
}
std::uint32_t readUInt32(std::span<const std::uint8_t> data, std::size_t at, bool bigEndian) {
    return readBytes<std::uint32_t>(data, at, bigEndian);
}
std::uint64_t readUInt64(std::span<const std::uint8_t> data, std::size_t at, bool bigEndian) {
    return readBytes<std::uint64_t>(data, at, bigEndian);
}

std::optional<NTPPacket::LeapIndicator> NTPPacket::leapFromRaw(std::uint8_t raw) {
    if (raw > 3) return std::nullopt;
    return static_cast<LeapIndicator>(raw);
}

std::optional<NTPPacket::Mode> NTPPacket::modeFromRaw(std::uint8_t raw) {
    if (raw > 7) return std::nullopt;
    return static_cast<Mode>(raw);
}

std::optional<std::string> NTPPacket::referenceClockDescription(std::uint32_t id) {
    for (const auto& clock : referenceClocks)
        if (identifier(clock.code) == id) return clock.description;
    return std::nullopt;
}

NTPPacket::NTPPacket(std::int8_t version, Mode mode)
    : version(version), mode(mode), clockSource(ClockSource::referenceIdentifier(0)) {}

NTPPacket::NTPPacket(std::span<const std::uint8_t> data, double destinationTime) : destinationTime(destinationTime) {
    if (data.size() < size) throw NTPParsingError::invalidNTPPDU("Invalid PDU length: " + std::to_string(data.size()));
    auto first = readUInt8(data, 0);
    leap = static_cast<LeapIndicator>(first >> 6);
    version = static_cast<std::int8_t>((first >> 3) & 0x7);
    mode = static_cast<Mode>(first & 0x7);
    auto stratumByte = readUInt8(data, 1);
    stratum = stratumByte == 0   ? Stratum::unspecified
              : stratumByte == 1 ? Stratum::primary
              : stratumByte < 15 ? Stratum::secondary
                                 : Stratum::invalid;
    poll = static_cast<std::int8_t>(readUInt8(data, 2));
    precision = static_cast<std::int8_t>(readUInt8(data, 3));
    rootDelay = fromShortFormat(readUInt32(data, 4, true));
    rootDispersion = fromShortFormat(readUInt32(data, 8, true));
    auto id = readUInt32(data, 12, true);
    switch (stratum) {
    case Stratum::unspecified:
        clockSource = ClockSource::debug(id);
        break;
    case Stratum::primary:
        clockSource = ClockSource::referenceClock(id, referenceClockDescription(id).value_or("NULL"));
        break;
    default:
        clockSource = ClockSource::referenceIdentifier(id);
    }
    double pivot = TimeManager::deviceClock();
    referenceTime = decodeTimestamp(readUInt64(data, 16, true), pivot);
    originTime = decodeTimestamp(readUInt64(data, 24, true), pivot);
    receiveTime = decodeTimestamp(readUInt64(data, 32, true), pivot);
    transmitTime = decodeTimestamp(readUInt64(data, 40, true), pivot);
}

std::optional<NTPPacket::Bytes> NTPPacket::data(std::optional<double> transmitTime) {
    this->transmitTime = transmitTime ? *transmitTime : TimeManager::deviceClock();
    auto leapRaw = static_cast<unsigned>(leap), modeRaw = static_cast<unsigned>(mode);
    if (version < 0 || version > 7 || leapRaw > 3 || modeRaw > 7) return std::nullopt;
    auto delayWord = shortFormat(rootDelay);
    auto dispersionWord = shortFormat(rootDispersion);
    auto reference = encodeTimestamp(referenceTime);
    auto origin = encodeTimestamp(originTime);
    auto receive = encodeTimestamp(receiveTime);
    auto transmit = encodeTimestamp(this->transmitTime);
    if (!delayWord || !dispersionWord || !reference || !origin || !receive || !transmit) return std::nullopt;
    Bytes bytes{};
    bytes[0] = static_cast<std::uint8_t>((leapRaw << 6) | (static_cast<unsigned>(version) << 3) | modeRaw);
    bytes[1] = static_cast<std::uint8_t>(stratum);
    bytes[2] = static_cast<std::uint8_t>(poll);
    bytes[3] = static_cast<std::uint8_t>(precision);
    put32(bytes, 4, *delayWord);
    put32(bytes, 8, *dispersionWord);
    put32(bytes, 12, clockSource.id);
    put64(bytes, 16, *reference);
    put64(bytes, 24, *origin);
    put64(bytes, 32, *receive);
    put64(bytes, 40, *transmit);
    return bytes;
}

bool NTPPacket::isValidResponse(std::optional<double> now) const {
    if (mode != Mode::server && mode != Mode::symmetricPassive) return false;
    if (leap == LeapIndicator::alarm) return false;
    if (stratum == Stratum::unspecified || stratum == Stratum::invalid) return false;
    if (!(rootDispersion < 100.0)) return false;
    double at = now ? *now : TimeManager::deviceClock();
    return std::fabs((at - originTime) - delay()) < 0.1;
}

double NTPPacket::delay() const { return (destinationTime - originTime) - (transmitTime - receiveTime); }

double NTPPacket::offset() const { return ((receiveTime - originTime) + (transmitTime - destinationTime)) * 0.5; }

std::optional<std::uint64_t> NTPPacket::encodeTimestamp(double t) {
    // Past ±2^62 s the whole seconds no longer fit the arithmetic below.
    constexpr double limit = 4.6e18;
    if (!std::isfinite(t) || std::fabs(t) > limit) return std::nullopt;
    double whole = std::floor(t);
    auto seconds = static_cast<std::int64_t>(whole) + epochDeltaSeconds;
    auto fraction = static_cast<std::uint64_t>((t - whole) * twoTo32);
    if (fraction > 0xFFFFFFFFu) fraction = 0xFFFFFFFFu;
    // The era is dropped: the wire keeps the seconds modulo 2^32.
    return (static_cast<std::uint64_t>(seconds) << 32) | fraction;
}

double NTPPacket::decodeTimestamp(std::uint64_t timestamp, double pivot) {
    if (timestamp == 0) return -epochDelta;
    auto seconds = static_cast<std::uint32_t>(timestamp >> 32);
    double fraction = static_cast<double>(timestamp & 0xFFFFFFFFu) / twoTo32;
    std::int64_t pivotSeconds = std::isfinite(pivot) && std::fabs(pivot) < 4.6e18
                                    ? static_cast<std::int64_t>(std::floor(pivot)) + epochDeltaSeconds
                                    : 0;
    // The signed distance from the pivot, within half an era either way.
    auto distance = static_cast<std::int32_t>(seconds - static_cast<std::uint32_t>(pivotSeconds));
    std::int64_t full = pivotSeconds + distance;
    return static_cast<double>(full - epochDeltaSeconds) + fraction;
}

}  // namespace svsdk
