#include "Core/Diagnostics/Logger.h"

#include <charconv>
#include <cstdio>
#include <mutex>

namespace svsdk {

const char* SVLogCategoryName(SVLogCategory category) noexcept {
    static constexpr const char* names[] = {"Debug",   "Common",   "Network", "Users",  "Operations", "Security",
                                            "Data",    "Keychain", "Storage", "Events", "Handles",    "Keys"};
    return names[static_cast<int>(category)];
}

namespace {

class StandardErrorSink final : public SVLogSink {
public:
    void write(SVLogCategory category, SVLogType, std::string_view message) override {
        std::string line = SVLogCategoryName(category);
        line += ": ";
        line += message;
        line += '\n';
        std::lock_guard guard(lock_);
        std::fwrite(line.data(), 1, line.size(), stderr);
        std::fflush(stderr);
    }

private:
    std::mutex lock_;
};

struct SinkSlot {
    std::mutex lock;
    std::shared_ptr<SVLogSink> sink;
};

SinkSlot& sinkSlot() {
    static auto* slot = new SinkSlot;  // never destroyed: logging goes on during exit
    return *slot;
}

}  // namespace

void Logger::setSink(std::shared_ptr<SVLogSink> sink) {
    std::lock_guard guard(sinkSlot().lock);
    sinkSlot().sink = std::move(sink);
}

void Logger::write(SVLogCategory category, SVLogType type, std::string_view message) {
    static auto* standardError = new StandardErrorSink;  // never destroyed: logging goes on during exit
    std::shared_ptr<SVLogSink> sink;
    {
        std::lock_guard guard(sinkSlot().lock);
        sink = sinkSlot().sink;
    }
    if (sink)
        sink->write(category, type, message);
    else
        standardError->write(category, type, message);
}

std::string Logger::number(double value) {
    char buffer[64];
    auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    return std::string(buffer, result.ptr);
}

}  // namespace svsdk
