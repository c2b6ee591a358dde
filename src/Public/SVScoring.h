#pragma once
// Scoring: data a host gathers for a confirmation, in a shape defined by a
// scoring provider named by text. `SVScoringParameters` goes out with a
// confirmation, `SVScoringSettings` comes back from the server's settings
// request, and `EmptyScoringParameters` fills the slot when a plain signing
// has none of its own.
//
// "Encodable" and "decodable" here mean convertible to and from
// nlohmann::ordered_json / nlohmann::json through the library's usual
// `to_json` / `from_json` functions. `SVScoringParameters` converts to
// nlohmann::ordered_json only: nlohmann::json sorts its keys and would lose
// the order of its members.
#include <map>
#include <optional>
#include <string>
#include <utility>

#include <nlohmann/json.hpp>

#include "SVCompletion.h"

namespace svsdk {

template <class T>
struct SVScoringParameters {
    std::string provider;
    T parameters;

    SVScoringParameters(std::string provider, T parameters)
        : provider(std::move(provider)), parameters(std::move(parameters)) {}

    // The one-entry form the request bodies send: provider -> parameters.
    std::map<std::string, T> dictionary() const { return {{provider, parameters}}; }
};

// {"provider": ..., "parameters": ...}, in that order.
template <class T>
void to_json(nlohmann::ordered_json& json, const SVScoringParameters<T>& value) {
    json = nlohmann::ordered_json::object();
    json["provider"] = value.provider;
    json["parameters"] = value.parameters;
}

// No members; encodes as the empty object.
struct EmptyScoringParameters {
    friend bool operator==(const EmptyScoringParameters&, const EmptyScoringParameters&) = default;
};
inline void to_json(nlohmann::ordered_json& json, const EmptyScoringParameters&) {
    json = nlohmann::ordered_json::object();
}
inline void to_json(nlohmann::json& json, const EmptyScoringParameters&) { json = nlohmann::json::object(); }

class APIInteractor;
namespace detail {
struct ScoringSettingsAccess;
}

// Made only by the SDK's scoring-settings request.
template <class T>
class SVScoringSettings {
public:
    const std::string& provider() const { return provider_; }
    const T& settings() const { return settings_; }

private:
    friend struct detail::ScoringSettingsAccess;
    SVScoringSettings(std::string provider, T settings) : provider_(std::move(provider)), settings_(std::move(settings)) {}

    std::string provider_;
    T settings_;
};

namespace detail {
struct ScoringSettingsAccess {
    template <class T>
    static SVScoringSettings<T> make(std::string provider, T settings) {
        return SVScoringSettings<T>(std::move(provider), std::move(settings));
    }
};
}  // namespace detail

namespace detail {
// The host's scoring parameters as JSON; when `to_json` throws, the completion
// is called with that failure and there is nothing.
template <class T>
std::optional<SVScoringParameters<nlohmann::ordered_json>> scoringParametersAsJSON(
    const SVScoringParameters<T>& parameters, const SVCompletion& completion) {
    try {
        return SVScoringParameters<nlohmann::ordered_json>(parameters.provider,
                                                           nlohmann::ordered_json(parameters.parameters));
    } catch (...) {
        if (completion) completion(SVResult<void>(SVFailure::fromCurrentException()));
        return std::nullopt;
    }
}
}  // namespace detail

}  // namespace svsdk
