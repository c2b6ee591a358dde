#pragma once
// The in-memory cache of unlocked secrets: the only place where a user's
// plain keys, password and pending device token live. Each secret is a
// handle filed under SHA-256(uniqueID + type name). Handles expire when read
// more than the foreground timeout (two hours) after they were cached, and
// all are dropped when the application terminates or comes back after an
// absence longer than the background timeout (15 seconds).
//
// One lock guards all state: the host's threads, the network thread and the
// lifecycle handlers (on the main queue) use the cache at once. Secret bytes
// are wiped when a handle is replaced, removed or dropped.
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>

#include <svsdk/SVBytes.h>
#include <svsdk/SVDate.h>
#include <svsdk/SVUser.h>

#include "Platform/ApplicationLifecycle.h"

namespace svsdk {

enum class HandleType : std::uint8_t {
    auth = 0,         // kAuth, the second half of the decrypted key content
    hmac = 1,         // kHMAC, the first half
    password = 2,     // the storage password as the host gave it
    deviceToken = 3,  // the push token given at registration, until the user is stored
};

// "auth", "hmac", "password", "deviceToken".
const char* handleTypeName(HandleType type);

struct Handle {
    Bytes value;
    SVDate created;  // the device clock when cached
};

class HandlesManager {
public:
    // The device clock (not the corrected one); tests give their own. Empty:
    // TimeManager::deviceClock().
    using Clock = std::function<SVDate()>;

    explicit HandlesManager(Clock clock = {});
    virtual ~HandlesManager();  // stops observing
    HandlesManager(const HandlesManager&) = delete;
    HandlesManager& operator=(const HandlesManager&) = delete;

    static HandlesManager& shared();

    // Registers the handlers of the three lifecycle events (again, when called again).
    virtual void startObserving();
    void stopObserving();

    virtual void add(const Bytes& value, HandleType type, const SVUser& user);
    // The secret, or absent when missing or expired (an expired one is removed).
    virtual std::optional<Bytes> handle(HandleType type, const SVUser& user);
    virtual void remove(HandleType type, const SVUser& user);
    // Removes the handle only while it still holds `expected`, so a value
    // that replaced it in the meantime stays; true when it was removed.
    bool removeIfEqual(HandleType type, const SVUser& user, const Bytes& expected);
    virtual void removeAll();
    virtual void appWillResignActive();
    virtual void appDidBecomeActive();

    // SHA-256 of the user's uniqueID followed by the type's name; 32 bytes.
    static Bytes key(HandleType type, const SVUser& user);

    // A handle older than this (seconds) is expired when read.
    static constexpr double handlesForegroundTimeout = 7200.0;
    // Seconds; 15 unless set.
    double handlesBackgroundTimeout() const;
    void setHandlesBackgroundTimeout(double seconds);

private:
    SVDate now() const;

    const Clock clock_;
    mutable std::mutex lock_;
    std::optional<LifecycleNotifications::Token> becomeActiveObserver_;
    std::optional<LifecycleNotifications::Token> becomeInactiveObserver_;
    std::optional<LifecycleNotifications::Token> terminatingAppObserver_;
    double handlesBackgroundTimeout_ = 15.0;
    std::map<Bytes, Handle> handles_;
    std::optional<SVDate> backgroundEnteringTime_;
};

}  // namespace svsdk
