#include <gtest/gtest.h>

#include <svsdk/SVUserOptions.h>

using namespace svsdk;

// Lengths in characters (grapheme clusters; a stray byte is one), classes by Unicode.
TEST(PasswordPolicyTest, LengthAndClassesPerPolicy) {
    using P = SVPasswordPolicy;
    std::string accented;  // five "e" with a combining accent: five characters, 15 bytes
    for (int i = 0; i < 5; ++i) accented += "e\u0301";
    std::tuple<P, std::string, bool> cases[] = {
        {P::optional, "abcde", false}, {P::optional, "      ", true}, {P::short_, "", false}, {P::short_, "123456", true},
        {P::short_, accented, false}, {P::short_, accented + "x", true},
        {P::short_, "\U0001F1E9\U0001F1EA\U0001F1E9\U0001F1EAabc", false},  // a flag is one character
        {P::short_, std::string("\xff\xfe\xff\xfe\xff\xfe", 6), true}, {P::short_, std::string("ab\0cdef", 7), true},
        {P::longWithLetters, "abcdefgh", false}, {P::longWithLetters, "ABCDEFGH", false},
        {P::longWithLetters, "aB12345", false}, {P::longWithLetters, "aB123456", true},
        {P::longWithLetters, "abcdefg\u01C5", true},  // title case counts as upper
        {P::longWithLetters, std::string("abc\xff" "DEF\xc3", 8), true}, {P::longWithLetters, std::string(8, '\xff'), false},
        {P::longWithLettersAndDigits, "abcdEFGH", false}, {P::longWithLettersAndDigits, "abcdEFG1", true},
        {P::longWithLettersAndDigits, "\u0434ABCDEF1", true}, {P::longWithLettersAndDigits, "aBCDEFG\u0663", true},
    };
    for (const auto& [policy, password, valid] : cases) EXPECT_EQ(validate(policy, password), valid) << password;
}

TEST(UserOptionsTest, FlagsSelectViewsAndPolicy) {
    std::pair<std::int64_t, SVPasswordPolicy> policies[] = {
        {0, SVPasswordPolicy::optional},         {32, SVPasswordPolicy::short_},
        {64, SVPasswordPolicy::longWithLetters}, {96, SVPasswordPolicy::longWithLettersAndDigits},
        {2048, SVPasswordPolicy::optional},      {-1, SVPasswordPolicy::longWithLettersAndDigits},
    };
    for (auto [raw, policy] : policies) EXPECT_EQ(SVUserOptions{UserFlags(raw)}.passwordPolicy(), policy) << raw;
    using View = bool (SVUserOptions::*)() const;
    std::pair<std::int64_t, View> views[] = {
        {1, &SVUserOptions::isWithFingerprint},   {2, &SVUserOptions::isCollectEvents},
        {4, &SVUserOptions::isCollectDeviceInfo}, {8, &SVUserOptions::isCollectSimInfo},
        {16, &SVUserOptions::isCollectLocation},  {128, &SVUserOptions::isDenyStoreWithOSProtection},
        {256, &SVUserOptions::isDenyRenewPubKey}, {512, &SVUserOptions::isAutosignEnabled},
        {1024, &SVUserOptions::isScoringEnabled},
    };
    for (auto [bit, view] : views)
        EXPECT_TRUE((SVUserOptions{UserFlags(bit)}.*view)() && !(SVUserOptions{UserFlags(~bit)}.*view)()) << bit;
    EXPECT_FALSE(SVUserOptions{UserFlags(1)} == SVUserOptions{UserFlags(1 | 2048)}) << "unknown bits are kept";
}
