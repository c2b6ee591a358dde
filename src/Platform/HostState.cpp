#include "Platform/HostState.h"

#include <mutex>

namespace svsdk {
namespace {

struct State {
    std::mutex lock;
    std::optional<std::string> hostBundleIdentifier;
    std::optional<std::string> accessGroup;
};

State& state() {
    static State* s = new State;  // read by key code that may run during exit
    return *s;
}

}  // namespace

std::optional<std::string> HostState::hostBundleIdentifier() {
    std::lock_guard guard(state().lock);
    return state().hostBundleIdentifier;
}

void HostState::setHostBundleIdentifier(std::optional<std::string> identifier) {
    std::lock_guard guard(state().lock);
    state().hostBundleIdentifier = std::move(identifier);
}

std::optional<std::string> HostState::accessGroup() {
    std::lock_guard guard(state().lock);
    return state().accessGroup;
}

void HostState::setAccessGroup(std::optional<std::string> group) {
    if (group && group->empty()) group.reset();
    std::lock_guard guard(state().lock);
    state().accessGroup = std::move(group);
}

}  // namespace svsdk
