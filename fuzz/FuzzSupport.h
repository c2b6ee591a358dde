#pragma once
// Shared by the fuzz targets: every log line is built (debug and keys on) and
// dropped, so the code that writes them is fuzzed too.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

#include <svsdk/SVBytes.h>
#include <svsdk/SVError.h>
#include <svsdk/SVLogging.h>
#include <svsdk/SVPlatformConfiguration.h>

#include "Core/Diagnostics/Logger.h"

namespace svsdk::fuzz {

struct DroppingSink : SVLogSink {
    void write(SVLogCategory, SVLogType, std::string_view) override {}
};

inline bool setUp() {
    SVPlatformConfiguration config;
    config.dataDirectory = "/tmp/svsdk-fuzz-data";
    config.logSink = std::make_shared<DroppingSink>();
    SVPlatform::configure(config);
    Logger::setOptions(SVLoggingOptions::debug | SVLoggingOptions::keys);
    return true;
}

inline std::string_view text(const std::uint8_t* data, std::size_t size) {
    static const bool ready = setUp();
    (void)ready;
    return std::string_view(reinterpret_cast<const char*>(data), size);
}

// Runs `read` on the input as the body of a server answer. The errors an
// answer may fail its operation with are expected; anything else escapes and
// stops the fuzzer.
template <class Read>
void answer(const std::uint8_t* data, std::size_t size, Read&& read) {
    text(data, size);
    const Bytes body(data, data + size);
    try {
        read(body);
    } catch (const SVError&) {
    } catch (const SVPlatformError&) {
    } catch (const SVDecodingError&) {
    }
}

}  // namespace svsdk::fuzz
