#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include <svsdk/SVError.h>

#include "Platform/DefaultsStore.h"
#include "Platform/PlatformConfiguration.h"
#include "support/TestEnvironment.h"

using namespace svsdk;
using nlohmann::json;
using svsdk::testing::modeOf;
using svsdk::testing::ScopedPlatform;

TEST(DefaultsStoreTest, SetsReadsAndRemovesValues) {
    ScopedPlatform platform;
    EXPECT_EQ(DefaultsStore::value("a"), std::nullopt);
    DefaultsStore::setValue("a", json({{"x", 1.5}}));
    DefaultsStore::setValue("b", "text");
    EXPECT_EQ(DefaultsStore::value("a"), json({{"x", 1.5}}));
    EXPECT_EQ(DefaultsStore::value("b"), json("text"));
    DefaultsStore::removeValue("a");
    DefaultsStore::removeValue("missing");
    EXPECT_EQ(DefaultsStore::value("a"), std::nullopt);
    EXPECT_EQ(DefaultsStore::value("b"), json("text"));

    std::string path = platform::defaultsPath();
    EXPECT_EQ(modeOf(path), 0600u);
    for (const auto& entry : std::filesystem::directory_iterator(std::filesystem::path(path).parent_path())) {
        auto name = entry.path().filename().string();
        EXPECT_TRUE(name == "defaults.json" || name == "defaults.json.lock") << "left behind: " << name;
    }
}

TEST(DefaultsStoreTest, CorruptOrUnreadableFilesReadAsEmpty) {
    ScopedPlatform platform;
    std::string path = platform::defaultsPath();
    platform::makeDirectory(std::filesystem::path(path).parent_path());
    for (const char* text : {"{\"a\": 1", "[1, 2]", "", "\xff\xfe", "{\"a\": \"\xff\"}"}) {
        std::ofstream(path, std::ios::trunc) << text;
        EXPECT_EQ(DefaultsStore::value("a"), std::nullopt) << text;
    }
    // A write over a corrupt file starts afresh, and the new file is private.
    ::chmod(path.c_str(), 0644);
    DefaultsStore::setValue("a", 1);
    EXPECT_EQ(DefaultsStore::value("a"), json(1));
    EXPECT_EQ(modeOf(path), 0600u);

    // A folder where the file should be: reads are empty, writes fail cleanly.
    std::filesystem::remove(path);
    std::filesystem::create_directory(path);
    EXPECT_EQ(DefaultsStore::value("a"), std::nullopt);
    EXPECT_THROW(DefaultsStore::setValue("a", 2), SVPlatformError);
}

TEST(DefaultsStoreTest, FollowsTheConfiguredPath) {
    ScopedPlatform first;
    DefaultsStore::setValue("k", "first");
    {
        ScopedPlatform second;
        EXPECT_EQ(DefaultsStore::value("k"), std::nullopt);
        auto config = second.configuration();
        config.defaultsPath = second.dir().file("nested/folder/store.json");
        second.apply(config);
        DefaultsStore::setValue("k", "second");
        EXPECT_EQ(modeOf(second.dir().file("nested/folder/store.json")), 0600u);
    }
    EXPECT_EQ(DefaultsStore::value("k"), json("first"));
}
