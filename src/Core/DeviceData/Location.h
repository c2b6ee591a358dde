#pragma once
// Where the device is: a fix as three decimal texts.
#include <string>

#include <nlohmann/json.hpp>

#include <svsdk/SVPlatformConfiguration.h>

namespace svsdk {

// A fix as three decimal texts; the empty location has three empty texts.
struct Location {
    std::string latitude;
    std::string longitude;
    std::string accuracy;  // horizontal accuracy in metres

    // The texts of a fix's latitude, longitude and horizontal accuracy.
    static Location from(const SVLocationFix& fix);
    // All three keys are required and must be texts (SVDecodingError).
    static Location decode(const nlohmann::json& json);

    friend bool operator==(const Location&, const Location&) = default;
};

// "latitude", "longitude", "accuracy": always all three, as strings.
void to_json(nlohmann::ordered_json& json, const Location& location);

}  // namespace svsdk
