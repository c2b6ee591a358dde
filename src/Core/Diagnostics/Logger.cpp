#include "Core/Diagnostics/Logger.h"

#include <charconv>
#include <cstdio>
#include <mutex>

#include "Platform/PlatformConfiguration.h"

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

}  // namespace

void Logger::write(SVLogCategory category, SVLogType type, std::string_view message) {
    static auto* standardError = new StandardErrorSink;  // never destroyed: logging goes on during exit
    auto sink = platform::logSink();
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
