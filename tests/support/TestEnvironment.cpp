#include "support/TestEnvironment.h"

#include "Core/Diagnostics/Logger.h"
#include "Core/Storing/CoreDataManager.h"
#include "Core/Time/DNSResolver.h"
#include "support/LoopbackServer.h"

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <stdexcept>

#include <gtest/gtest.h>

namespace svsdk::testing {
namespace {
std::string processRoot;

std::string tempBase() {
    const char* tmp = std::getenv("TMPDIR");
    return tmp && *tmp ? tmp : "/tmp";
}
std::string makeTemp(const std::string& base) {
    std::string pattern = base + "/svsdk-test-XXXXXX";
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    return pattern;
}
SVPlatformConfiguration baseConfiguration(const std::string& dataDirectory) {
    SVPlatformConfiguration config;
    config.dataDirectory = dataDirectory;
    config.mainBundleIdentifier = "org.svsdk.tests";
    config.vendorIdentifier = "00000000-0000-4000-8000-000000000001";
    config.ntpServerHost = "";  // never contact a public time server
    return config;
}
}  // namespace

void isolateProcess() {
    processRoot = makeTemp(tempBase());
    std::filesystem::create_directories(processRoot + "/home/.local/share");
    ::setenv("HOME", (processRoot + "/home").c_str(), 1);
    ::setenv("XDG_DATA_HOME", (processRoot + "/home/.local/share").c_str(), 1);
    SVPlatform::configure(baseConfiguration(processRoot + "/data"));
    // Name resolutions ask a loopback port where no server listens.
    DNSResolver::setServersForTesting("127.0.0.1:" + std::to_string(LoopbackServer::unusedPort()));
    CoreDataManager::shared().setDatabaseURL(processRoot + "/home/shared-users.sqlite");
}

void cleanUpProcess() {
    std::error_code ignored;
    if (!processRoot.empty()) std::filesystem::remove_all(processRoot, ignored);
}

TempDir::TempDir() : path_(makeTemp(processRoot.empty() ? tempBase() : processRoot)) {}
TempDir::TempDir(const std::string& base) : path_(makeTemp(::access(base.c_str(), W_OK) == 0 ? base : tempBase())) {}
TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

unsigned modeOf(const std::string& path) {
    struct stat info {};
    EXPECT_EQ(::stat(path.c_str(), &info), 0) << path;
    return info.st_mode & 07777;
}

ScopedPlatform::ScopedPlatform(SVLoggingOptions options)
    : config_(baseConfiguration(dir_.file("data"))),
      previous_(SVPlatform::configuration()),
      previousOptions_(Logger::options()) {
    config_.keychainPath = dir_.file("data/keychain.sqlite");
    config_.defaultsPath = dir_.file("data/defaults.json");
    config_.appInfo = {"SVSDK Tests", "1.0", "1"};
    config_.logSink = sink_;
    SVPlatform::configure(config_);
    Logger::setOptions(options);
}

ScopedPlatform::~ScopedPlatform() {
    Logger::setOptions(previousOptions_);
    SVPlatform::configure(previous_);
}

void ScopedPlatform::apply(SVPlatformConfiguration config) {
    config_ = std::move(config);
    if (!config_.logSink) config_.logSink = sink_;
    SVPlatform::configure(config_);
}

}  // namespace svsdk::testing
