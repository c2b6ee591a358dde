#include <gtest/gtest.h>

#include <limits>
#include <memory>
#include <regex>
#include <set>

#include <nlohmann/json.hpp>
#include <unicode/timezone.h>

#include "Core/Utilities/DateParsing.h"
#include "Core/Utilities/Encoding.h"
#include "Core/Utilities/Text.h"
#include "Core/Utilities/UUID.h"

using namespace svsdk;

namespace {

const std::string kReplacement = "\xEF\xBF\xBD";

TEST(TextTest, InvalidUTF8IsReplacedSoStrictJSONWritingSucceeds) {
    const std::pair<std::string, std::string> cases[] = {
        {"host-1", "host-1"},
        {"Zürich \xF0\x9F\x98\x80", "Zürich \xF0\x9F\x98\x80"},
        {"\xFF", kReplacement},
        {"\x80", kReplacement},                     // a continuation byte alone
        {"a\xC3", "a" + kReplacement},              // cut at the end
        {"\xE2\x82x", kReplacement + "x"},          // one bad sequence, one replacement
        {"\xC0\xAF", kReplacement + kReplacement},  // overlong
        {"\xED\xA0\x80", kReplacement + kReplacement + kReplacement},  // surrogate
        {std::string("a\0b", 3), std::string("a\0b", 3)},
    };
    for (const auto& [input, expected] : cases) {
        EXPECT_EQ(replacingInvalidUTF8(input), expected) << input;
        EXPECT_NO_THROW((void)nlohmann::ordered_json(replacingInvalidUTF8(input)).dump());
    }
}

TEST(TextTest, DecimalTextIsShortestWithAFractionAndIntegersTakeOnlyASignAndDigits) {
    const std::pair<double, const char*> decimals[] = {
        {10, "10.0"},      {-0.5, "-0.5"},   {-1, "-1.0"},     {0, "0.0"},
        {2.5, "2.5"},      {1e-05, "1e-05"}, {1.5e-07, "1.5e-07"}, {0.0001, "0.0001"},
        {0.1 + 0.2, "0.30000000000000004"},  {51.5074123, "51.5074123"}, {1e16, "1e+16"},
        {123456789012.5, "123456789012.5"},  {std::numeric_limits<double>::quiet_NaN(), "nan"},
        {-std::numeric_limits<double>::infinity(), "-inf"},
    };
    for (const auto& [value, text] : decimals) EXPECT_EQ(decimalText(value), text) << text;
    const std::pair<const char*, std::optional<std::int64_t>> integers[] = {
        {"45", 45}, {"+45", 45}, {"-45", -45}, {"007", 7},
        {"9223372036854775807", std::numeric_limits<std::int64_t>::max()},
        {"-9223372036854775808", std::numeric_limits<std::int64_t>::min()},
        {"9223372036854775808", std::nullopt}, {"", std::nullopt}, {"+", std::nullopt}, {"+-5", std::nullopt},
        {"45.1", std::nullopt}, {" 45", std::nullopt}, {"45 ", std::nullopt}, {"0x1F", std::nullopt},
    };
    for (const auto& [text, value] : integers) EXPECT_EQ(decimalInteger(text), value) << text;
}

TEST(EncodingTest, HexReadsPairsOfEitherCaseAndRefusesAnythingElse) {
    EXPECT_EQ(bytesFromHex(""), Bytes{}) << "empty bytes, not nothing";
    EXPECT_EQ(bytesFromHex("0A1b00ffFF7f"), (Bytes{0x0a, 0x1b, 0x00, 0xff, 0xff, 0x7f}));
    for (const char* refused : {"abc", "0g", "0a0g", " 0a", "+1", "0x"}) EXPECT_FALSE(bytesFromHex(refused)) << refused;
    EXPECT_EQ(hexString(Bytes{0x00, 0x0a, 0xab, 0xff}), "000aabff");
    Bytes all(256);
    for (int i = 0; i < 256; ++i) all[i] = static_cast<std::uint8_t>(i);
    EXPECT_EQ(bytesFromHex(hexString(all)), all);
}

TEST(EncodingTest, Base64IsPaddedWithoutLineBreaksAndDecodesOnlyTheStrictForm) {
    const std::pair<Bytes, std::string> pairs[] = {{bytesOf(""), ""},         {bytesOf("f"), "Zg=="},
                                                   {bytesOf("fo"), "Zm8="},   {bytesOf("foobar"), "Zm9vYmFy"},
                                                   {{0xfb, 0xff, 0xfe}, "+//+"}, {bytesOf("AZaz09"), "QVphejA5"}};
    for (const auto& [bytes, text] : pairs) {
        EXPECT_EQ(base64Encode(bytes), text);
        EXPECT_EQ(base64Decode(text), bytes) << text;
    }
    EXPECT_EQ(base64Encode(Bytes(200, 0x41)).size(), 268u) << "no line breaks";
    const char* refused[] = {
        "Zm9v YmFy", "Zm9vYmFy\n", " Zm9v", "Zm9v\tYmFy",  // white space
        "Zm9-", "Zm9_", "Zm9*",                            // outside the alphabet
        "Zg=", "Zg", "Zm9vY",                              // not a multiple of four
        "Z===", "====", "Zg=a", "Z=g=", "Zg==Zg==",        // padding out of place
    };
    for (const char* text : refused) EXPECT_FALSE(base64Decode(text)) << '"' << text << '"';
    EXPECT_FALSE(base64Decode(std::string("Zm\0v", 4)));
}

TEST(UUIDTest, IdentifiersAreVersion4UpperCaseAndDistinct) {
    const std::regex version4("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}");
    std::set<std::string> seen;
    for (int i = 0; i < 1000; ++i) {
        const std::string text = makeUUIDString();
        ASSERT_TRUE(std::regex_match(text, version4)) << text;
        seen.insert(text);
    }
    EXPECT_EQ(seen.size(), 1000u);
    std::array<std::uint8_t, 16> ones;
    ones.fill(0xff);
    EXPECT_EQ(uuidString(ones), "FFFFFFFF-FFFF-4FFF-BFFF-FFFFFFFFFFFF");
    EXPECT_EQ(uuidString({}), "00000000-0000-4000-8000-000000000000");
}

TEST(DateParsingTest, DaysAreLocalMidnightZonedTimesIgnoreTheDeviceZoneAndOtherTextsGiveNothing) {
    std::unique_ptr<icu::TimeZone> saved(icu::TimeZone::createDefault());
    constexpr double utcMidnight = 1767139200;  // 2025-12-31 00:00:00 UTC
    const std::pair<const char*, double> zones[] = {
        {"Europe/Berlin", 3600}, {"America/New_York", -5 * 3600}, {"Asia/Kolkata", 5.5 * 3600}};
    for (const auto& [zone, offset] : zones) {
        SCOPED_TRACE(zone);
        icu::TimeZone::adoptDefault(icu::TimeZone::createTimeZone(icu::UnicodeString::fromUTF8(zone)));
        EXPECT_EQ(dateFromAnyFormat("31.12.2025"), utcMidnight - offset);
        EXPECT_EQ(dateFromAnyFormat("2025-12-31"), utcMidnight - offset);
        EXPECT_EQ(dateFromAnyFormat("2025-12-31T10:00:00+01:00"), utcMidnight + 9 * 3600);
        EXPECT_EQ(dateFromAnyFormat("2025-12-31T10:00:00Z"), utcMidnight + 10 * 3600);
        EXPECT_EQ(dateFromAnyFormat("2025-12-31-05:00"), utcMidnight + 5 * 3600);
        for (const char* text : {"12/31/2025", "", "31.12.2025 trailing", "2025-12-31x", "2025-12-31T10:00:00+01:00 ",
                                 "2025-12-31T10:00:00",  // time without a zone
                                 "31.02.2025", "2025-13-01", "31.12.", "Dec 31, 2025"})
            EXPECT_FALSE(dateFromAnyFormat(text)) << '"' << text << '"';
    }
    icu::TimeZone::setDefault(*saved);
}

}  // namespace
