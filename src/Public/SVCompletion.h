#pragma once
// The callbacks of the SDK's asynchronous operations. Each is called exactly
// once per call: on the caller's thread when the operation fails before
// anything is sent (or its answer is already known), otherwise on the SDK's
// network thread. Nothing is moved to another thread for the host.
#include <functional>

#include "SVResult.h"

namespace svsdk {

template <class T>
using SVResultCompletion = std::function<void(const SVResult<T>&)>;
// An operation that gives nothing back: success or the failure.
using SVCompletion = SVResultCompletion<void>;

}  // namespace svsdk
