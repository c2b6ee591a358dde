#include <gtest/gtest.h>

#include <fstream>

#include <svsdk/Common/SVSDK.h>

#include "BuildConstants.h"
#include "Core/HostState.h"
#include "Core/Logger.h"
#include "Core/Security/HandlesManager.h"
#include "support/ScopedClock.h"
#include "support/TestEnvironment.h"

using namespace svsdk;
using svsdk::testing::ScopedPlatform;

TEST(SVSDKTest, ClassifiesQRTexts) {
    struct Case {
        std::string text;
        SVQRType expected;
    } cases[] = {
        // Plain text: the code on the first line.
        {"201\nSYS\nuser", SVQRType::user},
        {"202\nSYS\nuser", SVQRType::user},
        {"203\nSYS\ntx", SVQRType::transaction},
        {"204\nSYS\nuser", SVQRType::none},
        {"20 \n", SVQRType::none},
        {"2\xCC\x81" "03\n", SVQRType::none},  // "2" with an accent is not "2"
        // A deep link, whatever it holds, is none; so is an unrecognized text.
        {"201", SVQRType::none},
        {"svsdk://user_key?key_json=%7B%22sv_external_url%22%3A1%7D", SVQRType::none},
        {"2011\nSYS", SVQRType::none},
        {"", SVQRType::none},
        // JSON objects by their keys, in order.
        {R"({"auth_template": 1, "transaction_id": "t"})", SVQRType::restoreRequisites},
        {R"({"transaction_id": "t", "sv_external_url": "u"})", SVQRType::transaction},
        {R"({"sv_external_url": null})", SVQRType::user},
        {R"({"type": "login"})", SVQRType::login},
        {R"({"type": "LOGIN"})", SVQRType::none},
        {R"({"type": 1})", SVQRType::none},
        {R"({"other": "login"})", SVQRType::none},
        {R"({"type": "login",})", SVQRType::none},  // not JSON
        {"{}", SVQRType::none},
        {"[1]", SVQRType::none},  // an array at the top level
        {R"([{"transaction_id": "t"}])", SVQRType::none},
        {"{\"auth_template\": \"\xFF\"}", SVQRType::none},  // invalid UTF-8 is not JSON
        // XML: the keyData element ends the text.
        {"<user><keyData>", SVQRType::user},
        {"<user><keyData>abc</keyData>", SVQRType::user},
        {"<keyData>", SVQRType::user},
        {"<user><keyData>abc</keyData>\n</user>", SVQRType::none},
        {"<user><keydata>", SVQRType::none},
        {"<keyData/>", SVQRType::none},
        {"<user>\xD8\x80</keyData>", SVQRType::none},  // U+0600 joins the "<" after it
        // Nesting too deep to take apart safely is refused like malformed JSON.
        {"{\"a\":" + std::string(100000, '[') + std::string(100000, ']') + "}", SVQRType::none},
        {"{\"a\":1}{\"b\":2}", SVQRType::none},
    };
    for (const auto& c : cases)
        EXPECT_EQ(rawValue(SVSDK::analyze(c.text)), rawValue(c.expected)) << "text: " << c.text.substr(0, 80);
}

TEST(SVSDKTest, AnswersAndSettingsReachTheServicesBehindThem) {
    svsdk::testing::ScopedClock clock(1700000000.0, 500.0);
    TimeManager::setStableTime(StableTime{400.0, 1699999900.0, 12.5});
    EXPECT_EQ(SVSDK::now().timeIntervalSince1970, 1700000012.5) << "the corrected clock";

    auto& handles = HandlesManager::shared();
    double previous = handles.handlesBackgroundTimeout();
    SVSDK::setHandlesBackgroundTimeout(42.5);
    EXPECT_EQ(handles.handlesBackgroundTimeout(), 42.5);
    SVSDK::setHandlesBackgroundTimeout(previous);

    auto previousHost = HostState::hostBundleIdentifier();
    HostState::setHostBundleIdentifier("org.example.host");
    EXPECT_EQ(SVSDK::hostBundleIdentifier(), "org.example.host");
    HostState::setHostBundleIdentifier(previousHost);
}

TEST(SVSDKTest, SetLogLevelReplacesTheOptions) {
    ScopedPlatform platform;
    SVSDK::setLogLevel(SVLoggingOptions::debug | SVLoggingOptions::keys);
    SVSDK::setLogLevel(SVLoggingOptions::debug);
    EXPECT_EQ(Logger::options(), SVLoggingOptions::debug);
    SVSDK::setLogLevel(std::nullopt);
    EXPECT_TRUE(Logger::options().isEmpty());
    Logger::log(SVLogCategory::common, "silent");
    EXPECT_TRUE(platform.log().entries().empty());
}

// These run in a fresh process each, as the default location is computed once.
TEST(SVSDKDeathTest, TheDefaultDatabaseURLIsComputedOnceInTheDataFolder) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    ScopedPlatform platform;
    std::string expected = platform.dir().file("data/new/") + build::kDatabaseResourceName + ".sqlite";
    EXPECT_EXIT(
        {
            auto config = platform.configuration();
            config.dataDirectory = platform.dir().file("data/new");
            platform.apply(config);
            std::string first = SVSDK::defaultDatabaseURL();
            config.dataDirectory = platform.dir().file("elsewhere");
            platform.apply(config);
            bool folderMade = std::ifstream(platform.dir().file("data/new")).good();
            std::exit(first == expected && SVSDK::defaultDatabaseURL() == first && folderMade ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST(SVSDKDeathTest, AFolderThatCannotBeMadeStopsTheProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    ScopedPlatform platform;
    std::ofstream(platform.dir().file("plain-file")) << "x";
    auto config = platform.configuration();
    config.dataDirectory = platform.dir().file("plain-file/data");
    platform.apply(config);
    EXPECT_DEATH(SVSDK::defaultDatabaseURL(), "Unable to create the default database path");
}
