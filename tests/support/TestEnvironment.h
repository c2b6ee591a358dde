#pragma once
// Isolation of tests from the machine: a private home and data folder per
// process and per test, and a log sink that records messages.
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <svsdk/SVLogging.h>
#include <svsdk/SVPlatformConfiguration.h>

namespace svsdk::testing {

// Points HOME and XDG_DATA_HOME at a fresh temporary folder and configures the
// platform with paths inside it. Called once by the test main.
void isolateProcess();
void cleanUpProcess();

// A temporary folder removed when the value is destroyed.
class TempDir {
public:
    TempDir();
    // Below `base` when it is a writable folder, else where TempDir() makes one.
    explicit TempDir(const std::string& base);
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// The permission bits of a file (0 with a test failure when it is missing).
unsigned modeOf(const std::string& path);

// A platform configuration whose every path lies in `dir`, with a fixed
// bundle identifier and vendor identifier.
SVPlatformConfiguration isolatedConfiguration(const TempDir& dir);

// Records every message written to it.
class RecordingSink : public SVLogSink {
public:
    struct Entry {
        SVLogCategory category;
        SVLogType type;
        std::string message;
    };
    void write(SVLogCategory category, SVLogType type, std::string_view message) override;
    std::vector<Entry> entries() const;
    bool contains(SVLogCategory category, const std::string& text) const;
    bool anyContains(const std::string& text) const;
    void clear();

private:
    mutable std::mutex lock_;
    std::vector<Entry> entries_;
};

// For the life of the value: an isolated platform configuration in a fresh
// folder, a recording log sink, and the given log options. Restores the
// previous configuration and options afterwards.
class ScopedPlatform {
public:
    explicit ScopedPlatform(SVLoggingOptions options = SVLoggingOptions{});
    ~ScopedPlatform();
    ScopedPlatform(const ScopedPlatform&) = delete;
    ScopedPlatform& operator=(const ScopedPlatform&) = delete;

    const TempDir& dir() const { return dir_; }
    RecordingSink& log() { return *sink_; }
    // Applies a changed configuration (start from `configuration()`).
    SVPlatformConfiguration configuration() const { return config_; }
    void apply(SVPlatformConfiguration config);

private:
    TempDir dir_;
    std::shared_ptr<RecordingSink> sink_;
    SVPlatformConfiguration config_;
    SVPlatformConfiguration previous_;
    SVLoggingOptions previousOptions_;
};

}  // namespace svsdk::testing
