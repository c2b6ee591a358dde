#include <svsdk/SVLogin.h>

#include <nlohmann/json.hpp>

#include <svsdk/SVError.h>

#include "Core/Utilities/Encoding.h"
#include "Core/Utilities/JSONDecoding.h"
#include "Core/Utilities/URL.h"

namespace svsdk {

SVLogin::SVLogin(std::string systemID, double expirationTime, std::string sessionID, SVQRType type, Bytes pulp,
                 std::string loqURL)
    : systemID_(std::move(systemID)),
      expirationTime_(expirationTime),
      sessionID_(std::move(sessionID)),
      type_(type),
      pulp_(std::move(pulp)),
      loqURL_(std::move(loqURL)) {}

SVLogin SVLogin::decode(const nlohmann::json& json) {
    KeyedDecoder decoder(json);
    auto sessionID = decoder.required<std::string>("sid");
    auto systemID = decoder.required<std::string>("sysId");
    auto type = decoder.required<SVQRType>("type");
    auto expirationTime = decoder.required<double>("expires");
    auto pulpText = decoder.required<std::string>("pulp");
    auto pulp = base64Decode(pulpText);
    if (!pulp) throw SVDecodingError(SVDecodingError::Kind::dataCorrupted, decoder.pathOf("pulp"), "not valid Base64");
    auto loqURL = decoder.required<std::string>("loqUrl");
    auto url = URL::parse(loqURL);
    if (!url || !url->isAbsolute())
        throw SVDecodingError(SVDecodingError::Kind::dataCorrupted, decoder.pathOf("loqUrl"), "not a valid URL");
    return SVLogin(std::move(systemID), expirationTime, std::move(sessionID), type, std::move(*pulp),
                   std::move(loqURL));
}

SVLogin SVLogin::decode(std::string_view jsonText) { return decode(parseJSONDocument(jsonText)); }

}  // namespace svsdk
