#include <gtest/gtest.h>

#include "Core/Diagnostics/Logger.h"
#include "support/TestEnvironment.h"

using namespace svsdk;
using svsdk::testing::ScopedPlatform;

TEST(LoggerTest, GatesOrdinaryAndSecretMessages) {
    struct Case {
        SVLoggingOptions options;
        bool ordinary;
        bool secret;
    } cases[] = {
        {SVLoggingOptions{}, false, false},
        {SVLoggingOptions::keys, false, false},
        {SVLoggingOptions::debug, true, false},
        {SVLoggingOptions{SVLoggingOptions::debug, SVLoggingOptions::keys}, true, true},
    };
    for (const auto& c : cases) {
        ScopedPlatform platform(c.options);
        Logger::log(SVLogCategory::common, "progress");
        Logger::secret("the key");
        bool built = false;
        Logger::secret([&] {
            built = true;
            return std::string("lazy secret");
        });
        EXPECT_EQ(platform.log().contains(SVLogCategory::common, "progress"), c.ordinary) << c.options.rawValue;
        EXPECT_EQ(platform.log().contains(SVLogCategory::keys, "the key"), c.secret) << c.options.rawValue;
        EXPECT_EQ(built, c.secret) << "a secret message is only built when it is written";
        for (const auto& e : platform.log().entries())
            EXPECT_EQ(e.type, e.category == SVLogCategory::keys ? SVLogType::info : SVLogType::defaultType);
    }
}

TEST(LoggerTest, OptionChangesTakeEffectAtTheNextMessage) {
    ScopedPlatform platform(SVLoggingOptions::debug);
    Logger::error(SVLogCategory::keychain, "failed");
    Logger::setOptions({});
    Logger::log(SVLogCategory::keychain, "silent");
    auto entries = platform.log().entries();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].type, SVLogType::error);
    EXPECT_EQ(entries[0].message, "failed");
}

TEST(LoggerTest, NumbersAreTheShortestTextThatReadsBack) {
    // Longer numbers are checked through the time manager's log lines.
    EXPECT_EQ(Logger::number(0.1), "0.1");
}
