#include <gtest/gtest.h>

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <regex>
#include <vector>

#include <svsdk/SVError.h>

#include "Platform/DefaultsStore.h"
#include "Platform/OSStatus.h"
#include "Platform/PlatformConfiguration.h"
#include "support/TestEnvironment.h"

using namespace svsdk;
using nlohmann::json;
using svsdk::testing::modeOf;
using svsdk::testing::ScopedPlatform;

namespace {

// Sets (or, with none, removes) an environment variable until the end of the scope.
struct ScopedVariable {
    ScopedVariable(const char* name, const char* value) : name(name) {
        if (const char* old = std::getenv(name)) previous = old;
        set(value);
    }
    ~ScopedVariable() { set(previous ? previous->c_str() : nullptr); }
    void set(const char* value) { value ? ::setenv(name, value, 1) : ::unsetenv(name); }
    const char* name;
    std::optional<std::string> previous;
};

}  // namespace

TEST(PlatformConfigurationTest, DefaultFolderLiesUnderTheDataHomeAndIsPrivate) {
    ScopedPlatform platform;
    auto config = platform.configuration();
    config.dataDirectory.clear(), config.keychainPath.clear(), config.defaultsPath.clear();
    platform.apply(config);
    ScopedVariable xdg("XDG_DATA_HOME", platform.dir().file("xdg").c_str());
    std::string dir = platform::dataDirectory();
    EXPECT_EQ(dir, platform.dir().file("xdg") + "/svsdk");
    EXPECT_EQ(modeOf(dir), 0700u);
    EXPECT_EQ(platform::keychainPath() + platform::defaultsPath(), dir + "/keychain.sqlite" + dir + "/defaults.json");
    xdg.set("relative");  // ignored, as the base directory rules say
    EXPECT_EQ(platform::dataDirectory(), std::string(std::getenv("HOME")) + "/.local/share/svsdk");
    // Without a home there is no default: nothing falls back to a shared folder.
    xdg.set(nullptr);
    ScopedVariable home("HOME", nullptr);
    EXPECT_THROW(platform::dataDirectory(), SVPlatformError);
    EXPECT_THROW(platform::defaultsPath(), SVPlatformError);
}

TEST(PlatformConfigurationTest, ConfiguredFoldersArePrivateOrRefused) {
    ScopedPlatform platform;
    auto config = platform.configuration();
    std::ofstream(platform.dir().file("blocker")) << "x";
    std::string shared = platform.dir().file("shared"), foreign = "/tmp";
    ASSERT_EQ(::mkdir(shared.c_str(), 0777) + ::chmod(shared.c_str(), 0777), 0);
    if (::geteuid() == 0) {  // as root, a folder of our own handed over to another user
        foreign = platform.dir().file("foreign");
        ASSERT_EQ(::mkdir(foreign.c_str(), 0700) + ::chown(foreign.c_str(), 65534, 65534) +
                      ::chmod(foreign.c_str(), 01777), 0);
    }
    // {folder, mode after, whether it is used}: one others may write to is made private when it is ours.
    for (auto [dir, mode, used] : {std::tuple{platform.dir().file("new/nested"), 0700u, true}, {shared, 0700u, true},
                                   {platform.dir().file("blocker"), 0644u, false}, {foreign, 01777u, false}}) {
        config.dataDirectory = dir;
        platform.apply(config);
        std::string error;
        try {
            EXPECT_EQ(platform::dataDirectory(), dir);
        } catch (const SVPlatformError& e) {
            error = e.what();
        }
        EXPECT_EQ(error.empty(), used) << dir << error;
        EXPECT_EQ(modeOf(dir) & ~0022u, mode & ~0022u) << dir;
    }
}

// Keyed by the application; the machine identifier does not show through.
TEST(PlatformConfigurationTest, VendorIdentifierIsDerivedPerApplication) {
    ScopedPlatform platform;
    auto config = platform.configuration();
    std::ofstream(platform.dir().file("machine-id")) << "0123456789abcdef0123456789abcdef\n";
    std::vector<std::optional<std::string>> seen;
    for (auto [bundle, machineId, vendor] : {std::tuple{"org.example.one", "machine-id", ""}, {"org.example.one",
                                             "machine-id", ""}, {"org.example.two", "machine-id", ""},
                                             {"org.example.two", "absent", ""}, {"", "absent", "1-2-4-8-5"}}) {
        config.mainBundleIdentifier = bundle, config.machineIdPath = platform.dir().file(machineId);
        config.vendorIdentifier = *vendor ? std::optional<std::string>(vendor) : std::nullopt;
        platform.apply(config);
        seen.push_back(platform::vendorIdentifier());
    }
    const std::regex uuid("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}");
    ASSERT_TRUE(seen[0] && std::regex_match(*seen[0], uuid) && seen[0]->find("0123456789") == std::string::npos);
    EXPECT_TRUE(seen[1] == seen[0] && seen[2] != seen[0] && seen[2] && !seen[3] && seen[4] == "1-2-4-8-5");
}

TEST(PlatformConfigurationTest, DefaultsAreAPrivateFileThatReadsCorruptAsEmpty) {
    ScopedPlatform first;
    DefaultsStore::setValue("k", "first");
    ScopedPlatform platform;
    auto config = platform.configuration();
    config.defaultsPath = platform.dir().file("nested/folder/store.json");
    platform.apply(config);
    std::string path = platform::defaultsPath();
    EXPECT_EQ(DefaultsStore::value("k"), std::nullopt) << "each configuration its own file";
    DefaultsStore::setValue("a", json({{"x", 1.5}}));
    DefaultsStore::setValue("b", "text");
    EXPECT_EQ(DefaultsStore::value("a"), json({{"x", 1.5}}));
    DefaultsStore::removeValue("a");
    DefaultsStore::removeValue("missing");
    EXPECT_TRUE(!DefaultsStore::value("a") && DefaultsStore::value("b") == json("text"));
    EXPECT_EQ(modeOf(path), 0600u);
    for (const auto& entry : std::filesystem::directory_iterator(std::filesystem::path(path).parent_path()))
        EXPECT_TRUE(entry.path() == path || entry.path() == path + ".lock") << "left behind: " << entry.path();
    for (const char* text : {"{\"a\": 1", "[1, 2]", "", "\xff\xfe", "{\"a\": \"\xff\"}"}) {
        std::ofstream(path, std::ios::trunc) << text;
        EXPECT_EQ(DefaultsStore::value("a"), std::nullopt) << text;
    }
    ::chmod(path.c_str(), 0644);
    DefaultsStore::setValue("a", 1);  // a write over a corrupt file starts afresh, private
    EXPECT_TRUE(DefaultsStore::value("a") == json(1) && modeOf(path) == 0600u);
    // A folder where the file should be: reads are empty, writes fail cleanly.
    std::filesystem::remove(path);
    std::filesystem::create_directory(path);
    EXPECT_EQ(DefaultsStore::value("a"), std::nullopt);
    EXPECT_THROW(DefaultsStore::setValue("a", 2), SVPlatformError);
    platform.apply(first.configuration());
    EXPECT_EQ(DefaultsStore::value("k"), json("first"));
}

TEST(OSStatusTest, TableTextsCarryTheCodeAndUnknownCodesShowTheNumber) {
    EXPECT_EQ(osStatusErrorMessage(-25300), "The specified item could not be found in the keychain. (-25300)");
    EXPECT_EQ(osStatusErrorMessage(12345) + osStatusErrorMessage(-25321), "OSStatus: 12345OSStatus: -25321");
    // Every status the keychain store and the key code produce has a text.
    for (OSStatus status : {errSecSuccess, errSecIO, errSecParam, errSecAllocate, errSecInternalComponent,
                            errSecDuplicateItem, errSecItemNotFound, errSecDecode})
        EXPECT_NE(osStatusErrorMessage(status).rfind("OSStatus:", 0), 0u) << status;
    for (OSStatus status = -25320; status <= -25291; ++status)
        EXPECT_NE(osStatusErrorMessage(status).rfind("OSStatus:", 0), 0u) << status;
}
