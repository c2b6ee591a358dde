#include <gtest/gtest.h>

#include <regex>
#include <set>

#include "Core/Utilities/UUID.h"

using namespace svsdk;

TEST(UUIDTest, RandomIdentifiersAreVersion4UpperCaseAndDistinct) {
    const std::regex version4("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}");
    std::set<std::string> seen;
    for (int i = 0; i < 1000; ++i) {
        std::string text = makeUUIDString();
        ASSERT_TRUE(std::regex_match(text, version4)) << text;
        seen.insert(text);
    }
    EXPECT_EQ(seen.size(), 1000u);
}

TEST(UUIDTest, LayoutKeepsTheGivenBitsAndSetsVersionAndVariant) {
    std::array<std::uint8_t, 16> ones;
    ones.fill(0xff);
    EXPECT_EQ(uuidString(ones), "FFFFFFFF-FFFF-4FFF-BFFF-FFFFFFFFFFFF");
    EXPECT_EQ(uuidString({}), "00000000-0000-4000-8000-000000000000");
}
