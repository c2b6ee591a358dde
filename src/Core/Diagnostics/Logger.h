#pragma once
// The SDK's logger. Every message is gated by the process-wide options:
// ordinary messages need `debug`; secret material needs `debug` and `keys`
// and always goes to "Keys" with the info type.
#include <atomic>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>

#include <svsdk/SVBytes.h>
#include <svsdk/SVLogging.h>

namespace svsdk {

class Logger {
public:
    Logger() = delete;

    static SVLoggingOptions options() noexcept { return SVLoggingOptions(optionsWord().load(std::memory_order_relaxed)); }
    static void setOptions(SVLoggingOptions options) noexcept {
        optionsWord().store(options.rawValue, std::memory_order_relaxed);
    }
    static bool isDebugEnabled() noexcept { return options().contains(SVLoggingOptions::debug); }
    static bool isKeysEnabled() noexcept {
        return options().contains(SVLoggingOptions::debug | SVLoggingOptions::keys) && withheldDepth() == 0;
    }

    // While one is alive on a thread, that thread writes no secret whatever
    // the options: for the steps whose keys must never reach a log.
    class WithholdSecrets {
    public:
        WithholdSecrets() noexcept { ++withheldDepth(); }
        ~WithholdSecrets() { --withheldDepth(); }
        WithholdSecrets(const WithholdSecrets&) = delete;
        WithholdSecrets& operator=(const WithholdSecrets&) = delete;
    };

    // An ordinary message (needs `debug`).
    static void log(SVLogCategory category, std::string_view message, SVLogType type = SVLogType::defaultType) {
        if (isDebugEnabled()) write(category, type, message);
    }
    static void error(SVLogCategory category, std::string_view message) {
        log(category, message, SVLogType::error);
    }
    // Builds the message only when it will be written.
    template <class F, class = std::enable_if_t<std::is_invocable_v<F>>>
    static void log(SVLogCategory category, F&& build, SVLogType type = SVLogType::defaultType) {
        if (isDebugEnabled()) write(category, type, std::forward<F>(build)());
    }
    // Secret material: written to "Keys" with the info type, only with `debug` and `keys`.
    static void secret(std::string_view message) {
        if (isKeysEnabled()) write(SVLogCategory::keys, SVLogType::info, message);
    }
    template <class F, class = std::enable_if_t<std::is_invocable_v<F>>>
    static void secret(F&& build) {
        if (isKeysEnabled()) {
            std::string text = std::forward<F>(build)();
            write(SVLogCategory::keys, SVLogType::info, text);
            secureWipe(text);
        }
    }

    // Where messages go: the host's sink, or standard error when none. The
    // platform configuration sets it whenever it changes.
    static void setSink(std::shared_ptr<SVLogSink> sink);

    // The shortest text of a double that reads back as the same value.
    static std::string number(double value);

private:
    static int& withheldDepth() noexcept {
        thread_local int depth = 0;
        return depth;
    }
    static std::atomic<int>& optionsWord() noexcept {
        static std::atomic<int> word{0};
        return word;
    }
    static void write(SVLogCategory category, SVLogType type, std::string_view message);
};

}  // namespace svsdk
