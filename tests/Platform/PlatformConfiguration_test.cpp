#include <gtest/gtest.h>

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <optional>
#include <regex>

#include <svsdk/SVError.h>

#include "Platform/PlatformConfiguration.h"
#include "support/TestEnvironment.h"

using namespace svsdk;
using svsdk::testing::modeOf;
using svsdk::testing::ScopedPlatform;

namespace {

// Sets (or, with none, removes) an environment variable until the end of the scope.
class ScopedVariable {
public:
    ScopedVariable(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name)) previous_ = old;
        set(value);
    }
    ~ScopedVariable() { set(previous_ ? previous_->c_str() : nullptr); }
    void set(const char* value) { value ? ::setenv(name_, value, 1) : ::unsetenv(name_); }

private:
    const char* name_;
    std::optional<std::string> previous_;
};

}  // namespace

TEST(PlatformConfigurationTest, DefaultFolderLiesUnderTheDataHomeAndIsPrivate) {
    ScopedPlatform platform;
    auto config = platform.configuration();
    config.dataDirectory.clear();
    config.keychainPath.clear();
    config.defaultsPath.clear();
    platform.apply(config);
    ScopedVariable xdg("XDG_DATA_HOME", platform.dir().file("xdg").c_str());
    std::string dir = platform::dataDirectory();
    EXPECT_EQ(dir, platform.dir().file("xdg") + "/svsdk");
    EXPECT_EQ(modeOf(dir), 0700u);
    EXPECT_EQ(platform::keychainPath(), dir + "/keychain.sqlite");
    EXPECT_EQ(platform::defaultsPath(), dir + "/defaults.json");

    // A relative XDG_DATA_HOME is ignored, as the base directory rules say.
    xdg.set("relative");
    EXPECT_EQ(platform::dataDirectory(), std::string(std::getenv("HOME")) + "/.local/share/svsdk");

    // Without a home there is no default: nothing falls back to a shared folder.
    xdg.set(nullptr);
    ScopedVariable home("HOME", nullptr);
    EXPECT_THROW(platform::dataDirectory(), SVPlatformError);
    EXPECT_THROW(platform::defaultsPath(), SVPlatformError);
}

TEST(PlatformConfigurationTest, ConfiguredPathsWinAndAFileInTheWayIsAnError) {
    ScopedPlatform platform;
    EXPECT_EQ(platform::keychainPath(), platform.dir().file("data/keychain.sqlite"));
    auto config = platform.configuration();
    std::ofstream(platform.dir().file("blocker")) << "x";
    config.dataDirectory = platform.dir().file("blocker");
    platform.apply(config);
    EXPECT_THROW(platform::dataDirectory(), SVPlatformError);

    // A folder others may write to is made private when it is ours, refused when it is not.
    std::string shared = platform.dir().file("shared");
    ASSERT_EQ(::mkdir(shared.c_str(), 0700), 0);
    ASSERT_EQ(::chmod(shared.c_str(), 0777), 0);
    config.dataDirectory = shared;
    platform.apply(config);
    EXPECT_EQ(platform::dataDirectory(), shared);
    EXPECT_EQ(modeOf(shared), 0700u);
    // Owned by another user: as root, a folder of our own handed over; otherwise /tmp.
    std::string foreign = "/tmp";
    if (::geteuid() == 0) {
        foreign = platform.dir().file("foreign");
        ASSERT_EQ(::mkdir(foreign.c_str(), 0700), 0);
        ASSERT_EQ(::chown(foreign.c_str(), 65534, 65534), 0);
        ASSERT_EQ(::chmod(foreign.c_str(), 01777), 0);
    }
    config.dataDirectory = foreign;
    platform.apply(config);
    EXPECT_THROW(platform::dataDirectory(), SVPlatformError);
    EXPECT_EQ(modeOf(foreign), 01777u);
}

TEST(PlatformConfigurationTest, VendorIdentifierIsDerivedPerApplication) {
    ScopedPlatform platform;
    auto config = platform.configuration();
    config.vendorIdentifier.reset();
    config.machineIdPath = platform.dir().file("machine-id");
    std::ofstream(config.machineIdPath) << "0123456789abcdef0123456789abcdef\n";
    config.mainBundleIdentifier = "org.example.one";
    platform.apply(config);
    auto first = platform::vendorIdentifier();
    ASSERT_TRUE(first);
    EXPECT_TRUE(std::regex_match(*first, std::regex("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}")))
        << *first;
    EXPECT_EQ(platform::vendorIdentifier(), first) << "stable for one application";
    EXPECT_EQ(first->find("0123456789"), std::string::npos) << "the machine identifier does not show through";

    config.mainBundleIdentifier = "org.example.two";
    platform.apply(config);
    EXPECT_NE(platform::vendorIdentifier(), first);

    config.machineIdPath = platform.dir().file("absent");
    platform.apply(config);
    EXPECT_FALSE(platform::vendorIdentifier());

    config.vendorIdentifier = "11111111-2222-4333-8444-555555555555";
    platform.apply(config);
    EXPECT_EQ(platform::vendorIdentifier(), "11111111-2222-4333-8444-555555555555");
}
