#include "Core/Security/HandlesManager.h"

#include <cmath>
#include <utility>

#include "Core/Diagnostics/Logger.h"
#include "Core/Security/Cryptor.h"
#include "Core/Time/TimeManager.h"

namespace svsdk {
namespace {

void log(const std::string& message) { Logger::log(SVLogCategory::handles, message); }

// A double as the platform writes it by default: 15.0, 0.5, 1e+16.
std::string decimalText(double value) {
    std::string text = Logger::number(value);
    if (std::isfinite(value) && text.find_first_of(".e") == std::string::npos) text += ".0";
    return text;
}

}  // namespace

const char* handleTypeName(HandleType type) {
    switch (type) {
        case HandleType::auth: return "auth";
        case HandleType::hmac: return "hmac";
        case HandleType::password: return "password";
        case HandleType::deviceToken: return "deviceToken";
    }
    return "unknown";
}

HandlesManager::HandlesManager(Clock clock) : clock_(std::move(clock)) {}

HandlesManager::~HandlesManager() { stopObserving(); }

HandlesManager& HandlesManager::shared() {
    static HandlesManager* manager = new HandlesManager;
    return *manager;
}

void HandlesManager::startObserving() {
    stopObserving();
    auto& center = LifecycleNotifications::shared();
    auto terminating = center.addObserver(LifecycleEvent::willTerminate, [this] { removeAll(); });
    auto active = center.addObserver(LifecycleEvent::didBecomeActive, [this] { appDidBecomeActive(); });
    auto inactive = center.addObserver(LifecycleEvent::willResignActive, [this] { appWillResignActive(); });
    std::lock_guard guard(lock_);
    terminatingAppObserver_ = terminating;
    becomeActiveObserver_ = active;
    becomeInactiveObserver_ = inactive;
}

void HandlesManager::stopObserving() {
    std::optional<LifecycleNotifications::Token> tokens[3];
    {
        std::lock_guard guard(lock_);
        tokens[0] = std::exchange(terminatingAppObserver_, std::nullopt);
        tokens[1] = std::exchange(becomeActiveObserver_, std::nullopt);
        tokens[2] = std::exchange(becomeInactiveObserver_, std::nullopt);
    }
    for (auto& token : tokens)
        if (token) LifecycleNotifications::shared().removeObserver(*token);
}

Bytes HandlesManager::key(HandleType type, const SVUser& user) {
    std::string text = user.uniqueID() + handleTypeName(type);
    return Cryptor::sha256(text.data(), text.size());
}

void HandlesManager::add(const Bytes& value, HandleType type, const SVUser& user) {
    Bytes handleKey = key(type, user);
    Handle handle{value, now()};
    {
        std::lock_guard guard(lock_);
        // Assigning releases (and so wipes) the replaced secret's buffer.
        handles_.insert_or_assign(std::move(handleKey), std::move(handle));
    }
    log(std::string("Added ") + handleTypeName(type) + " handle for " + user.userID());
}

std::optional<Bytes> HandlesManager::handle(HandleType type, const SVUser& user) {
    Bytes handleKey = key(type, user);
    SVDate current = now();
    std::optional<Handle> expired;
    {
        std::lock_guard guard(lock_);
        auto found = handles_.find(handleKey);
        if (found == handles_.end()) return std::nullopt;
        double age = std::fabs(current.timeIntervalSince1970 - found->second.created.timeIntervalSince1970);
        if (!(age > handlesForegroundTimeout)) return found->second.value;
        expired = std::move(found->second);
        handles_.erase(found);
    }
    log(std::string("Handle of type ") + handleTypeName(type) + " is no longer valid.");
    return std::nullopt;
}

void HandlesManager::remove(HandleType type, const SVUser& user) {
    Bytes handleKey = key(type, user);
    {
        std::lock_guard guard(lock_);
        handles_.erase(handleKey);
    }
    log(std::string("Removed ") + handleTypeName(type) + " handle for " + user.userID());
}

bool HandlesManager::removeIfEqual(HandleType type, const SVUser& user, const Bytes& expected) {
    Bytes handleKey = key(type, user);
    {
        std::lock_guard guard(lock_);
        auto found = handles_.find(handleKey);
        if (found == handles_.end() || found->second.value != expected) return false;
        handles_.erase(found);
    }
    log(std::string("Removed ") + handleTypeName(type) + " handle for " + user.userID());
    return true;
}

void HandlesManager::removeAll() {
    std::map<Bytes, Handle> dropped;
    {
        std::lock_guard guard(lock_);
        dropped.swap(handles_);
    }
    log("Handles have been removed");
}

void HandlesManager::appWillResignActive() {
    SVDate current = now();
    double timeout;
    {
        std::lock_guard guard(lock_);
        backgroundEnteringTime_ = current;
        timeout = handlesBackgroundTimeout_;
    }
    log("Handles will be removed in " + decimalText(timeout) + " seconds");
}

void HandlesManager::appDidBecomeActive() {
    SVDate current = now();
    std::map<Bytes, Handle> dropped;
    {
        std::lock_guard guard(lock_);
        if (!backgroundEnteringTime_) return;
        double elapsed = current.timeIntervalSince1970 - backgroundEnteringTime_->timeIntervalSince1970;
        if (!(elapsed > handlesBackgroundTimeout_)) return;
        dropped.swap(handles_);
    }
    log("All handles are removed");
}

double HandlesManager::handlesBackgroundTimeout() const {
    std::lock_guard guard(lock_);
    return handlesBackgroundTimeout_;
}

void HandlesManager::setHandlesBackgroundTimeout(double seconds) {
    std::lock_guard guard(lock_);
    handlesBackgroundTimeout_ = seconds;
}

SVDate HandlesManager::now() const {
    return clock_ ? clock_() : SVDate::fromTimeInterval(TimeManager::deviceClock());
}

}  // namespace svsdk
