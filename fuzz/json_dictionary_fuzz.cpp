// Bytes to a JSON dictionary, its typed values, and back to text that reads again.
#include <cstdlib>
#include <string>
#include <vector>

#include <svsdk/SVError.h>

#include "Core/Utilities/JSON.h"

#include "FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto input = svsdk::fuzz::text(data, size);
    try {
        auto dictionary = svsdk::jsonDictionary(input);
        if (input.find('\0') != std::string::npos) std::abort();  // no JSON text holds a NUL byte
        for (const auto& item : dictionary.items()) {
            (void)svsdk::valueForKey<std::string>(dictionary, item.key(), std::string());
            (void)svsdk::valueForKey<std::vector<std::string>>(dictionary, item.key(), std::vector<std::string>());
            (void)svsdk::valueForKey<nlohmann::json>(dictionary, item.key(), nlohmann::json::object());
        }
        svsdk::jsonDictionary(svsdk::jsonData(dictionary));
    } catch (const svsdk::SVPlatformError&) {
    } catch (const svsdk::SVError&) {
    }
    return 0;
}
