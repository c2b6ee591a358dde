#pragma once
// Attaching a request's collected device data: when the collector's data
// arrives, a copy of the request gets the event (and, inside it, the device
// data) the user's options asked for.
#include <concepts>
#include <memory>
#include <optional>
#include <utility>

#include "Core/DeviceData/Analytics.h"
#include "Core/Diagnostics/Logger.h"
#include "Core/DeviceData/Event.h"
#include "Core/Concurrency/Future.h"
#include "Core/Networking/LegacyRequestBody.h"
#include "Core/Networking/Request.h"

namespace svsdk {

// A v3 body that carries an optional `Event` in its member `event`.
template <class Body>
concept EventsHolder = requires(Body body) {
    { body.event } -> std::same_as<std::optional<Event>&>;
};

// The request with the body's event set from the collected data (replacing
// what the body held; absent when nothing was collected), and the event's
// device data set from the collected device data. Never fails by itself.
template <EventsHolder Body>
Future<Request<Body>> attachingCollectedInfo(const Request<Body>& request,
                                             const Future<Analytics::CollectedData>& collected) {
    auto box = std::make_shared<const Request<Body>>(request);
    return collected.transformed([box](const Analytics::CollectedData& data) {
        Logger::log(SVLogCategory::events, "Attaching collected info");
        Request<Body> copy = *box;
        copy.body.event = data.event;
        if (copy.body.event) copy.body.event->deviceInfo = data.deviceInfo;
        return copy;
    });
}

// The legacy form: the parameters get a `LegacyEvent` of the collected
// event's identifiers and time (its own device data is not used), and the
// collected device data whether or not there is an event.
inline Future<Request<LegacyRequestBody>> attachingCollectedInfo(const Request<LegacyRequestBody>& request,
                                                                 const Future<Analytics::CollectedData>& collected) {
    auto box = std::make_shared<const Request<LegacyRequestBody>>(request);
    return collected.transformed([box](const Analytics::CollectedData& data) {
        Logger::log(SVLogCategory::events, "Attaching collected info");
        Request<LegacyRequestBody> copy = *box;
        auto& parameters = copy.body.parameters;
        parameters.event.reset();
        if (data.event) parameters.event = LegacyEvent{data.event->eventID, data.event->sessionID, data.event->deviceTime};
        parameters.deviceInfo = data.deviceInfo;
        return copy;
    });
}

}  // namespace svsdk
