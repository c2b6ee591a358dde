#include "Core/DeviceData/Location.h"

#include "Core/Utilities/JSONDecoding.h"
#include "Core/Utilities/Text.h"

namespace svsdk {

Location Location::from(const SVLocationFix& fix) {
    return Location{decimalText(fix.latitude), decimalText(fix.longitude), decimalText(fix.horizontalAccuracy)};
}

Location Location::decode(const nlohmann::json& json) {
    KeyedDecoder decoder(json);
    return Location{decoder.required<std::string>("latitude"), decoder.required<std::string>("longitude"),
                    decoder.required<std::string>("accuracy")};
}

void to_json(nlohmann::ordered_json& json, const Location& location) {
    json = nlohmann::ordered_json::object();
    json["latitude"] = location.latitude;
    json["longitude"] = location.longitude;
    json["accuracy"] = location.accuracy;
}

}  // namespace svsdk
