#include <gtest/gtest.h>

#include "Core/Diagnostics/Logger.h"
#include "support/TestEnvironment.h"

using namespace svsdk;
using svsdk::testing::ScopedPlatform;

TEST(LoggerTest, GatesOrdinaryAndSecretMessagesByTheOptionsOfTheMoment) {
    for (auto [options, ordinary, secret] : std::vector<std::tuple<SVLoggingOptions, bool, bool>>{
             {SVLoggingOptions{}, false, false}, {SVLoggingOptions::keys, false, false},
             {SVLoggingOptions::debug, true, false}, {SVLoggingOptions::debug | SVLoggingOptions::keys, true, true}}) {
        ScopedPlatform platform(options);
        int built = 0;
        Logger::log(SVLogCategory::common, [&] { return ++built, std::string("progress"); });
        Logger::secret("the key");
        Logger::secret([&] { return ++built, std::string("lazy secret"); });
        Logger::WithholdSecrets(), Logger::secret("withheld");
        std::vector<std::string> expected, written;
        if (ordinary) expected.push_back("Common:0:progress");
        if (secret) expected.insert(expected.end(), {"Keys:1:the key", "Keys:1:lazy secret"});
        for (const auto& e : platform.log().entries())
            written.push_back(std::string(SVLogCategoryName(e.category)) + ":" +
                              std::to_string(e.type == SVLogType::info) + ":" + e.message);
        EXPECT_EQ(written, expected) << options.rawValue;
        EXPECT_EQ(built, ordinary + secret) << "a message is only built when it is written";
        Logger::error(SVLogCategory::keychain, "failed");
        Logger::setOptions({});
        Logger::error(SVLogCategory::keychain, "silent");
        EXPECT_EQ(platform.log().entries().size(), expected.size() + ordinary);
    }
    EXPECT_EQ(Logger::number(0.1), "0.1");
}
