#include <gtest/gtest.h>

#include <fstream>

#include <svsdk/Common/SVSDK.h>

#include "BuildConstants.h"
#include "Core/Diagnostics/Logger.h"
#include "Core/Security/HandlesManager.h"
#include "support/ScopedClock.h"
#include "support/TestEnvironment.h"

using namespace svsdk;
using svsdk::testing::ScopedPlatform;

TEST(SVSDKTest, ClassifiesQRTexts) {
    using Q = SVQRType;
    std::pair<std::string, SVQRType> cases[] = {
        // Plain text: the code on the first line, in characters.
        {"201\nSYS\nuser", Q::user}, {"202\nSYS\nuser", Q::user}, {"203\nSYS\ntx", Q::transaction},
        {"204\nSYS\nuser", Q::none}, {"2011\nSYS", Q::none}, {"2\xCC\x81" "03\n", Q::none}, {"", Q::none},
        {"svsdk://user_key?key_json=%7B%22sv_external_url%22%3A1%7D", Q::none},  // a deep link is none
        // JSON objects by their keys, in order.
        {R"({"auth_template": 1, "transaction_id": "t"})", Q::restoreRequisites},
        {R"({"transaction_id": "t", "sv_external_url": "u"})", Q::transaction},
        {R"({"sv_external_url": null, "type": "login"})", Q::user},
        {R"({"type": "login"})", Q::login}, {R"({"type": "LOGIN"})", Q::none}, {R"({"type": 1})", Q::none},
        {R"({"other": "login"})", Q::none}, {R"({"type": "login",})", Q::none}, {"[1]", Q::none},
        {"{\"auth_template\": \"\xFF\"}", Q::none},  // invalid UTF-8 is not JSON
        {"{\"a\":" + std::string(100000, '[') + std::string(100000, ']') + "}", Q::none},  // too deep
        // XML: the keyData element ends the text.
        {"<user><keyData>", Q::user}, {"<user><keyData>abc</keyData>", Q::user}, {"<keyData>", Q::user},
        {"<user><keyData>abc</keyData>\n</user>", Q::none}, {"<user><keydata>", Q::none},
        {"<user>\xD8\x80</keyData>", Q::none},  // U+0600 joins the "<" after it
    };
    for (const auto& [text, expected] : cases)
        EXPECT_EQ(rawValue(SVSDK::analyze(text)), rawValue(expected)) << "text: " << text.substr(0, 80);
}

TEST(SVSDKTest, SettingsReachTheServicesBehindThem) {
    ScopedPlatform platform;
    svsdk::testing::ScopedClock clock(1700000000.0, 500.0);
    TimeManager::setStableTime(StableTime{400.0, 1699999900.0, 12.5});
    EXPECT_EQ(SVSDK::now().timeIntervalSince1970, 1700000012.5) << "the corrected clock";
    double previous = HandlesManager::shared().handlesBackgroundTimeout();
    SVSDK::setHandlesBackgroundTimeout(42.5);
    EXPECT_EQ(HandlesManager::shared().handlesBackgroundTimeout(), 42.5);
    SVSDK::setHandlesBackgroundTimeout(previous);
    SVSDK::setLogLevel(SVLoggingOptions::debug | SVLoggingOptions::keys);
    SVSDK::setLogLevel(SVLoggingOptions::debug);
    EXPECT_EQ(Logger::options(), SVLoggingOptions::debug) << "replaced, not added";
    SVSDK::setLogLevel(std::nullopt);
    Logger::log(SVLogCategory::common, "silent");
    EXPECT_TRUE(platform.log().entries().empty());
}

// In a fresh process each, as the default location is computed once: in the
// data folder, made on the way; a folder that cannot be made stops the process.
TEST(SVSDKDeathTest, TheDefaultDatabaseURLIsComputedOnceInTheDataFolder) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    ScopedPlatform platform;
    std::string expected = platform.dir().file("data/new/") + build::kDatabaseResourceName + ".sqlite";
    auto config = platform.configuration();
    EXPECT_EXIT(
        {
            config.dataDirectory = platform.dir().file("data/new");
            platform.apply(config);
            std::string first = SVSDK::defaultDatabaseURL();
            config.dataDirectory = platform.dir().file("elsewhere");
            platform.apply(config);
            bool folderMade = std::ifstream(platform.dir().file("data/new")).good();
            std::exit(first == expected && SVSDK::defaultDatabaseURL() == first && folderMade ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
    std::ofstream(platform.dir().file("plain-file")) << "x";
    config.dataDirectory = platform.dir().file("plain-file/data");
    platform.apply(config);
    EXPECT_DEATH(SVSDK::defaultDatabaseURL(), "Unable to create the default database path");
}
