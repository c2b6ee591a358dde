#include "Core/DeviceData/SessionManager.h"

#include <cmath>

#include "Core/Diagnostics/Logger.h"
#include "Core/Time/TimeManager.h"
#include "Core/Utilities/UUID.h"

namespace svsdk {
namespace {

constexpr double kSessionIdleMinutes = 15.0;

Session newSession() { return Session{makeUUIDString(), TimeManager::deviceClock()}; }

// The log sink is the host's code, so it is called with no lock held.
void logSession(const std::string& sessionID) {
    Logger::log(SVLogCategory::events, [&] { return "Using the session with ID: " + sessionID; });
}

}  // namespace

std::int64_t millisecondsSince1970(double seconds) {
    const double milliseconds = std::round(seconds * 1000.0);
    // 2^63 is exactly representable; the range is [-2^63, 2^63).
    constexpr double kLimit = 9223372036854775808.0;
    if (!std::isfinite(milliseconds) || milliseconds < -kLimit || milliseconds >= kLimit) return 0;
    return static_cast<std::int64_t>(milliseconds);
}

SessionManager& SessionManager::shared() {
    static auto* instance = new SessionManager;  // never destroyed: events may be made during exit
    return *instance;
}

Session& SessionManager::sessionLocked() {
    if (!currentSession_) currentSession_ = newSession();
    return *currentSession_;
}

Session SessionManager::currentSession() {
    std::lock_guard guard(lock_);
    return sessionLocked();
}

std::string SessionManager::refreshLocked() {
    const double now = TimeManager::deviceClock();
    const double idleMinutes = (now - sessionLocked().lastEventDate) / 60.0;
    if (idleMinutes > kSessionIdleMinutes) currentSession_ = newSession();
    currentSession_->lastEventDate = TimeManager::deviceClock();
    return currentSession_->sessionID;
}

void SessionManager::refreshSession() {
    std::string sessionID;
    {
        std::lock_guard guard(lock_);
        sessionID = refreshLocked();
    }
    logSession(sessionID);
}

Event SessionManager::makeEvent() {
    std::string sessionID;
    {
        std::lock_guard guard(lock_);
        sessionID = refreshLocked();
    }
    logSession(sessionID);
    Event event;
    event.eventID = makeUUIDString();
    event.deviceTime = millisecondsSince1970(TimeManager::deviceClock());
    event.sessionID = std::move(sessionID);
    return event;
}

}  // namespace svsdk
