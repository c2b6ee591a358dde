#pragma once
// Logging options and the log sink. Nothing is logged until the host sets
// options with `debug`; secret material needs `debug` and `keys` together.
#include <initializer_list>
#include <string_view>

namespace svsdk {

struct SVLoggingOptions {
    int rawValue = 0;

    constexpr SVLoggingOptions() = default;
    constexpr explicit SVLoggingOptions(int raw) : rawValue(raw) {}
    constexpr SVLoggingOptions(std::initializer_list<SVLoggingOptions> options) {
        for (auto o : options) rawValue |= o.rawValue;
    }
    static const SVLoggingOptions debug;
    static const SVLoggingOptions keys;

    constexpr bool contains(SVLoggingOptions other) const { return (rawValue & other.rawValue) == other.rawValue; }
    constexpr bool isEmpty() const { return rawValue == 0; }
    friend constexpr SVLoggingOptions operator|(SVLoggingOptions a, SVLoggingOptions b) {
        return SVLoggingOptions(a.rawValue | b.rawValue);
    }
    friend constexpr bool operator==(SVLoggingOptions a, SVLoggingOptions b) { return a.rawValue == b.rawValue; }
};
inline constexpr SVLoggingOptions SVLoggingOptions::debug{1};
inline constexpr SVLoggingOptions SVLoggingOptions::keys{2};

// The twelve categories, in their fixed order.
enum class SVLogCategory {
    debug, common, network, users, operations, security, data, keychain, storage, events, handles, keys,
};
// The category's name as it appears in the log: "Debug", "Common", ...
const char* SVLogCategoryName(SVLogCategory category) noexcept;

// Default: progress and state. Error: failures. Info: secret material (only in "Keys").
enum class SVLogType { defaultType, error, info };

// Where log messages go. The default writes "Category: text" lines to stderr;
// a host replaces it through SVPlatformConfiguration::logSink. Messages come
// from any thread, so an implementation must be thread-safe.
class SVLogSink {
public:
    virtual ~SVLogSink() = default;
    virtual void write(SVLogCategory category, SVLogType type, std::string_view message) = 0;
};

}  // namespace svsdk
