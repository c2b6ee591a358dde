#include <gtest/gtest.h>

#include <set>

#include "Core/Utilities/UUID.h"

using namespace svsdk;

namespace {
// 8-4-4-4-12 upper-case hex digits, version 4, variant 10xx.
bool isVersion4Text(const std::string& text) {
    if (text.size() != 36) return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (i == 8 || i == 13 || i == 18 || i == 23) {
            if (c != '-') return false;
        } else if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) {
            return false;
        }
    }
    return text[14] == '4' && std::string_view("89AB").find(text[19]) != std::string_view::npos;
}
}  // namespace

TEST(UUIDTest, RandomIdentifiersAreVersion4UpperCaseAndDistinct) {
    std::set<std::string> seen;
    for (int i = 0; i < 5000; ++i) {
        std::string text = makeUUIDString();
        ASSERT_TRUE(isVersion4Text(text)) << text;
        seen.insert(text);
    }
    EXPECT_EQ(seen.size(), 5000u);
}

TEST(UUIDTest, LayoutKeepsTheGivenBitsAndSetsVersionAndVariant) {
    std::array<std::uint8_t, 16> ones;
    ones.fill(0xff);
    EXPECT_EQ(uuidString(ones), "FFFFFFFF-FFFF-4FFF-BFFF-FFFFFFFFFFFF");
    std::array<std::uint8_t, 16> zeros{};
    EXPECT_EQ(uuidString(zeros), "00000000-0000-4000-8000-000000000000");
    EXPECT_FALSE(isVersion4Text("00000000-0000-4000-C000-000000000000"));
    EXPECT_FALSE(isVersion4Text("00000000-0000-4000-8000-00000000000a"));
}
