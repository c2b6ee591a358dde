#pragma once
// How the public operations reach a user's protocol object: a chained step
// calls one operation of the interface on the object the interaction
// manager made and passes on its future (or the error it throws); an
// observed step (the two events) calls it when the object arrives and drops
// every outcome. Each step holds copies of exactly the values it passes.
#include <memory>
#include <utility>

#include "Core/Networking/APIInteractionManager.h"
#include "Core/Concurrency/Future.h"

namespace svsdk {

// `call(const APIInteractor&)` returns the operation's future.
template <class Call>
auto chainedStep(const Future<APIInteractionManager::Interactor>& interactor, Call call) {
    return interactor.chained(
        [call = std::move(call)](const APIInteractionManager::Interactor& object) { return call(*object); });
}

// `call(const APIInteractor&)` starts a fire-and-forget operation. Runs at
// once when `interactor` is already settled.
template <class Call>
void observedStep(const Future<APIInteractionManager::Interactor>& interactor, Call call) {
    interactor.observe([call = std::move(call)](const SVResult<APIInteractionManager::Interactor>& result) {
        if (!result.ok()) return;
        try {
            call(*result.value());
        } catch (...) {
            // The event is not sent; nobody waits for it.
        }
    });
}

}  // namespace svsdk
