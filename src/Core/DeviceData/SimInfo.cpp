#include "Core/DeviceData/SimInfo.h"

#include "Core/Utilities/JSONDecoding.h"
#include "Core/Utilities/Text.h"
#include "Platform/PlatformConfiguration.h"

namespace svsdk {
namespace {

void append(std::string& joined, const std::string& value) {
    if (value.empty()) return;
    if (!joined.empty()) joined += " | ";
    joined += validUTF8(value);
}

}  // namespace

SimInfo SimInfo::from(const std::vector<SVCarrier>& carriers) {
    SimInfo sim;
    for (const auto& carrier : carriers) {
        append(sim.simOperatorName, carrier.carrierName);
        append(sim.simCountryIso, carrier.mobileCountryCode);
        append(sim.networkCountryIso, carrier.isoCountryCode);
    }
    sim.simCount = static_cast<std::int64_t>(carriers.size());
    return sim;
}

SimInfo SimInfo::current() {
    auto provider = platform::current()->carrierProvider;
    if (!provider) return SimInfo{};
    try {
        return from(provider());
    } catch (...) {
        return SimInfo{};
    }
}

SimInfo SimInfo::decode(const nlohmann::json& json) {
    KeyedDecoder decoder(json);
    return SimInfo{decoder.required<std::string>("simOperatorName"), decoder.required<std::string>("simCountryIso"),
                   decoder.required<std::string>("networkCountryIso"), decoder.required<std::int64_t>("simCount")};
}

void to_json(nlohmann::ordered_json& json, const SimInfo& sim) {
    json = nlohmann::ordered_json::object();
    json["IMSI"] = SimInfo::IMSI;
    json["phoneType"] = SimInfo::phoneType;
    json["networkOperatorName"] = SimInfo::networkOperatorName;
    json["simSerial"] = SimInfo::simSerial;
    json["roaming"] = SimInfo::roaming;
    json["imei"] = SimInfo::imei;
    json["mmsAgent"] = SimInfo::mmsAgent;
    json["mmsUrl"] = SimInfo::mmsUrl;
    json["simOperatorName"] = sim.simOperatorName;
    json["simCountryIso"] = sim.simCountryIso;
    json["networkCountryIso"] = sim.networkCountryIso;
    json["simCount"] = sim.simCount;
}

}  // namespace svsdk
