#pragma once
// Event sessions: the events of one stretch of use share a session, which
// lasts while events come no more than 15 minutes apart. Sessions live in
// memory only, so every process starts a new one.
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

#include "Core/DeviceData/Event.h"

namespace svsdk {

struct Session {
    std::string sessionID;       // upper-case UUID text
    double lastEventDate = 0;    // device clock, seconds since 1970
};

class SessionManager {
public:
    // The SDK's one session manager.
    static SessionManager& shared();
    SessionManager() = default;
    SessionManager(const SessionManager&) = delete;
    SessionManager& operator=(const SessionManager&) = delete;

    // The current session; the first read makes one.
    Session currentSession();

    // Starts a new session when the current one has been idle for more than
    // 15 minutes, then marks it as used now. Logs the session's identifier.
    void refreshSession();

    // A new event of the refreshed session: a new identifier and the device
    // clock in milliseconds (0 when not representable); no device data.
    Event makeEvent();

private:
    Session& sessionLocked();  // with lock_ held
    std::string refreshLocked();  // the session's identifier

    std::mutex lock_;  // a refresh is one step, whatever threads make events
    std::optional<Session> currentSession_;
};

// Seconds since 1970 as milliseconds, rounded half away from zero; 0 when the
// result is not finite or outside the signed 64-bit range.
std::int64_t millisecondsSince1970(double seconds);

}  // namespace svsdk
