#include <gtest/gtest.h>

#include <limits>

#include <nlohmann/json.hpp>

#include "Core/Utilities/Text.h"

using namespace svsdk;

namespace {

const std::string kReplacement = "\xEF\xBF\xBD";

TEST(TextTest, InvalidUTF8IsReplacedSoStrictJSONWritingSucceeds) {
    struct Case {
        std::string input, expected;
    } cases[] = {
        {"host-1", "host-1"},
        {"Zürich \xF0\x9F\x98\x80", "Zürich \xF0\x9F\x98\x80"},
        {"\xFF", kReplacement},
        {"a\xC3", "a" + kReplacement},               // cut at the end
        {"\xE2\x82x", kReplacement + "x"},           // one bad sequence, one replacement
        {"\xC0\xAF", kReplacement + kReplacement},   // overlong
        {"\xED\xA0\x80", kReplacement + kReplacement + kReplacement},  // surrogate
        {std::string("a\0b", 3), std::string("a\0b", 3)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.input);
        const std::string valid = validUTF8(c.input);
        EXPECT_EQ(valid, c.expected);
        EXPECT_NO_THROW((void)nlohmann::ordered_json(valid).dump());
    }
}

TEST(TextTest, DecimalTextIsShortestWithAFraction) {
    struct Case {
        double value;
        const char* text;
    } cases[] = {
        {10, "10.0"},       {-0.5, "-0.5"},        {65, "65.0"},    {-1, "-1.0"},         {0, "0.0"},
        {3, "3.0"},         {2.5, "2.5"},          {1e-05, "1e-05"}, {1.5e-07, "1.5e-07"}, {0.0001, "0.0001"},
        {0.1 + 0.2, "0.30000000000000004"},        {51.5074123, "51.5074123"},             {1e16, "1e+16"},
        {123456789012.5, "123456789012.5"},        {std::numeric_limits<double>::quiet_NaN(), "nan"},
        {-std::numeric_limits<double>::infinity(), "-inf"},
    };
    for (const auto& c : cases) EXPECT_EQ(decimalText(c.value), c.text) << c.text;
}

TEST(TextTest, ParseIntegerTakesOnlyASignAndDigits) {
    struct Case {
        const char* text;
        std::optional<std::int64_t> value;
    } cases[] = {
        {"45", 45},
        {"+45", 45},
        {"-45", -45},
        {"007", 7},
        {"9223372036854775807", std::numeric_limits<std::int64_t>::max()},
        {"-9223372036854775808", std::numeric_limits<std::int64_t>::min()},
        {"9223372036854775808", std::nullopt},
        {"", std::nullopt},
        {"+", std::nullopt},
        {"+-5", std::nullopt},
        {"45.1", std::nullopt},
        {" 45", std::nullopt},
        {"45 ", std::nullopt},
        {"0x1F", std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(parseInteger(c.text), c.value) << c.text;
}

}  // namespace
