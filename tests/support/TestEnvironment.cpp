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

std::string makeTemp(const std::string& base) {
    std::string pattern = base + "/svsdk-test-XXXXXX";
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    return pattern;
}

std::string tempBase() {
    const char* tmp = std::getenv("TMPDIR");
    return tmp && *tmp ? tmp : "/tmp";
}
}  // namespace

void isolateProcess() {
    processRoot = makeTemp(tempBase());
    std::filesystem::create_directories(processRoot + "/home/.local/share");
    ::setenv("HOME", (processRoot + "/home").c_str(), 1);
    ::setenv("XDG_DATA_HOME", (processRoot + "/home/.local/share").c_str(), 1);
    SVPlatformConfiguration config;
    config.dataDirectory = processRoot + "/data";
    config.mainBundleIdentifier = "org.svsdk.tests";
    config.vendorIdentifier = "00000000-0000-4000-8000-000000000001";
    config.ntpServerHost = "";  // never contact a public time server
    SVPlatform::configure(config);
    // Name resolutions ask a loopback port where no server listens, never the
    // system's name servers.
    DNSResolver::setServersForTesting("127.0.0.1:" + std::to_string(LoopbackServer::unusedPort()));
    // The shared store of the SDK's own operations, private to the process.
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

SVPlatformConfiguration isolatedConfiguration(const TempDir& dir) {
    SVPlatformConfiguration config;
    config.dataDirectory = dir.file("data");
    config.keychainPath = dir.file("data/keychain.sqlite");
    config.defaultsPath = dir.file("data/defaults.json");
    config.mainBundleIdentifier = "org.svsdk.tests";
    config.appInfo = {"SVSDK Tests", "1.0", "1"};
    config.vendorIdentifier = "00000000-0000-4000-8000-000000000001";
    config.ntpServerHost = "";
    return config;
}

void RecordingSink::write(SVLogCategory category, SVLogType type, std::string_view message) {
    std::lock_guard guard(lock_);
    entries_.push_back({category, type, std::string(message)});
}

std::vector<RecordingSink::Entry> RecordingSink::entries() const {
    std::lock_guard guard(lock_);
    return entries_;
}

bool RecordingSink::contains(SVLogCategory category, const std::string& text) const {
    std::lock_guard guard(lock_);
    for (auto& e : entries_)
        if (e.category == category && e.message.find(text) != std::string::npos) return true;
    return false;
}

bool RecordingSink::anyContains(const std::string& text) const {
    std::lock_guard guard(lock_);
    for (auto& e : entries_)
        if (e.message.find(text) != std::string::npos) return true;
    return false;
}

void RecordingSink::clear() {
    std::lock_guard guard(lock_);
    entries_.clear();
}

ScopedPlatform::ScopedPlatform(SVLoggingOptions options)
    : sink_(std::make_shared<RecordingSink>()),
      config_(isolatedConfiguration(dir_)),
      previous_(SVPlatform::configuration()),
      previousOptions_(Logger::options()) {
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
