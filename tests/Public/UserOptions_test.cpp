#include <gtest/gtest.h>

#include <svsdk/SVUserOptions.h>

using namespace svsdk;

TEST(PasswordPolicyTest, LengthAndClassesPerPolicy) {
    for (auto policy : {SVPasswordPolicy::optional, SVPasswordPolicy::short_}) {
        EXPECT_FALSE(validate(policy, "abcde"));
        EXPECT_FALSE(validate(policy, ""));
        EXPECT_TRUE(validate(policy, "      "));
        EXPECT_TRUE(validate(policy, "123456"));
    }
    EXPECT_FALSE(validate(SVPasswordPolicy::longWithLetters, "abcdefgh")) << "no uppercase letter";
    EXPECT_FALSE(validate(SVPasswordPolicy::longWithLetters, "ABCDEFGH")) << "no lowercase letter";
    EXPECT_FALSE(validate(SVPasswordPolicy::longWithLetters, "aB12345")) << "seven characters";
    EXPECT_TRUE(validate(SVPasswordPolicy::longWithLetters, "aB123456"));
    EXPECT_TRUE(validate(SVPasswordPolicy::longWithLetters, "abcdefg\u01C5")) << "title case counts as upper";
    EXPECT_FALSE(validate(SVPasswordPolicy::longWithLettersAndDigits, "abcdEFGH")) << "no digit";
    EXPECT_TRUE(validate(SVPasswordPolicy::longWithLettersAndDigits, "abcdEFG1"));
}

TEST(PasswordPolicyTest, CountsGraphemeClustersAndUnicodeClasses) {
    // Cyrillic lowercase letter (U+0434) is a lowercase letter.
    EXPECT_TRUE(validate(SVPasswordPolicy::longWithLettersAndDigits, "\u0434ABCDEF1"));
    EXPECT_FALSE(validate(SVPasswordPolicy::longWithLettersAndDigits, "\u0434ABCDEFG")) << "no digit";
    // Arabic-Indic digit (U+0663) is a decimal digit.
    EXPECT_TRUE(validate(SVPasswordPolicy::longWithLettersAndDigits, "aBCDEFG\u0663"));
    // "e" + combining acute accent is one character: five of them are five, not ten.
    std::string accented;
    for (int i = 0; i < 5; ++i) accented += "e\u0301";
    EXPECT_EQ(accented.size(), 15u);
    EXPECT_FALSE(validate(SVPasswordPolicy::short_, accented));
    EXPECT_TRUE(validate(SVPasswordPolicy::short_, accented + "x"));
    // A flag (two regional indicators) is one character.
    EXPECT_FALSE(validate(SVPasswordPolicy::short_, "\U0001F1E9\U0001F1EA\U0001F1E9\U0001F1EAabc"));
}

TEST(PasswordPolicyTest, InvalidUtf8IsCountedAsReplacementCharacters) {
    // Six stray bytes become six replacement characters: long enough, no letters.
    EXPECT_TRUE(validate(SVPasswordPolicy::short_, std::string("\xff\xfe\xff\xfe\xff\xfe", 6)));
    EXPECT_TRUE(validate(SVPasswordPolicy::longWithLetters, std::string("abc\xff" "DEF\xc3", 8)));
    EXPECT_FALSE(validate(SVPasswordPolicy::longWithLetters, std::string("\xff\xff\xff\xff\xff\xff\xff\xff", 8)));
    EXPECT_TRUE(validate(SVPasswordPolicy::short_, std::string("ab\0cdef", 7))) << "an embedded NUL is a character";
}

TEST(UserOptionsTest, FlagsSelectViewsAndPolicy) {
    struct Case {
        std::int64_t raw;
        SVPasswordPolicy policy;
    } cases[] = {
        {0, SVPasswordPolicy::optional},
        {32, SVPasswordPolicy::short_},
        {64, SVPasswordPolicy::longWithLetters},
        {96, SVPasswordPolicy::longWithLettersAndDigits},
        {2048, SVPasswordPolicy::optional},
        {-1, SVPasswordPolicy::longWithLettersAndDigits},
    };
    for (auto c : cases) EXPECT_EQ(SVUserOptions{UserFlags(c.raw)}.passwordPolicy(), c.policy) << c.raw;

    using View = bool (SVUserOptions::*)() const;
    std::pair<std::int64_t, View> views[] = {
        {1, &SVUserOptions::isWithFingerprint},      {2, &SVUserOptions::isCollectEvents},
        {4, &SVUserOptions::isCollectDeviceInfo},    {8, &SVUserOptions::isCollectSimInfo},
        {16, &SVUserOptions::isCollectLocation},     {128, &SVUserOptions::isDenyStoreWithOSProtection},
        {256, &SVUserOptions::isDenyRenewPubKey},    {512, &SVUserOptions::isAutosignEnabled},
        {1024, &SVUserOptions::isScoringEnabled},
    };
    for (auto [bit, view] : views) {
        EXPECT_TRUE((SVUserOptions{UserFlags(bit)}.*view)()) << bit;
        EXPECT_FALSE((SVUserOptions{UserFlags(~bit)}.*view)()) << bit;
        EXPECT_FALSE((SVUserOptions{UserFlags(2048)}.*view)()) << "an unknown bit sets no view";
    }
    EXPECT_EQ(SVUserOptions{UserFlags(2048)}.flags.rawValue, 2048) << "unknown bits are kept";
    EXPECT_FALSE(SVUserOptions{UserFlags(1)} == SVUserOptions{UserFlags(1 | 2048)});
}
