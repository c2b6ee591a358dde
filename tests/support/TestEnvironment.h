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

// Points HOME and XDG_DATA_HOME at a fresh temporary folder, and the platform at paths in it.
void isolateProcess();
void cleanUpProcess();

// A temporary folder removed with the value; below `base` when that is writable.
class TempDir {
public:
    TempDir();
    explicit TempDir(const std::string& base);
    ~TempDir();
    TempDir(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// The permission bits of a file (0 with a test failure when it is missing).
unsigned modeOf(const std::string& path);

// Records every message written to it.
class RecordingSink : public SVLogSink {
public:
    struct Entry {
        SVLogCategory category;
        SVLogType type;
        std::string message;
    };
    void write(SVLogCategory category, SVLogType type, std::string_view message) override {
        std::lock_guard guard(lock_);
        entries_.push_back({category, type, std::string(message)});
    }
    std::vector<Entry> entries() const {
        std::lock_guard guard(lock_);
        return entries_;
    }
    bool contains(SVLogCategory category, const std::string& text) const { return has(&category, text); }
    bool anyContains(const std::string& text) const { return has(nullptr, text); }
    void clear() {
        std::lock_guard guard(lock_);
        entries_.clear();
    }

private:
    bool has(const SVLogCategory* category, const std::string& text) const {
        for (const auto& e : entries())
            if ((!category || e.category == *category) && e.message.find(text) != std::string::npos) return true;
        return false;
    }
    mutable std::mutex lock_;
    std::vector<Entry> entries_;
};

// For its life: a platform configuration with every path in a fresh folder,
// a recording log sink and the given log options; the previous ones after.
class ScopedPlatform {
public:
    explicit ScopedPlatform(SVLoggingOptions options = SVLoggingOptions{});
    ~ScopedPlatform();
    ScopedPlatform(const ScopedPlatform&) = delete;

    const TempDir& dir() const { return dir_; }
    RecordingSink& log() { return *sink_; }
    // Applies a changed configuration (start from `configuration()`).
    SVPlatformConfiguration configuration() const { return config_; }
    void apply(SVPlatformConfiguration config);

private:
    TempDir dir_;
    std::shared_ptr<RecordingSink> sink_ = std::make_shared<RecordingSink>();
    SVPlatformConfiguration config_, previous_;
    SVLoggingOptions previousOptions_;
};

}  // namespace svsdk::testing
