#pragma once
// What the public managers share: a completion that runs at most once, the
// frame every asynchronous operation runs in, and the bodies of online
// signing and declining (QR login hands its transaction to them too).
#include <atomic>
#include <memory>
#include <optional>
#include <utility>

#include <svsdk/SVCompletion.h>
#include <svsdk/SVTransaction.h>
#include <svsdk/SVUser.h>

#include "Core/Diagnostics/Logger.h"
#include "Core/Networking/APIInteractor.h"
#include "Core/Concurrency/Future.h"

namespace svsdk::operations {

// The host's completion behind a flag: only the first call reaches it. A
// completion that throws is logged and otherwise ignored.
template <class T>
class OnceCompletion {
public:
    explicit OnceCompletion(SVResultCompletion<T> completion)
        : state_(std::make_shared<State>(std::move(completion))) {}

    void operator()(const SVResult<T>& result) const {
        if (state_->called.exchange(true)) return;
        if (!state_->completion) return;
        try {
            state_->completion(result);
        } catch (...) {
            Logger::error(SVLogCategory::common, "A completion threw an error");
        }
    }
    bool wasCalled() const { return state_->called.load(); }

private:
    struct State {
        explicit State(SVResultCompletion<T> c) : completion(std::move(c)) {}
        std::atomic<bool> called{false};
        SVResultCompletion<T> completion;
    };
    std::shared_ptr<State> state_;
};

// Runs `body(once)`, which either calls `once` itself or hands it to a
// future; anything `body` throws reaches the completion as a failure (once).
template <class T, class Body>
void run(SVResultCompletion<T> completion, Body&& body) {
    OnceCompletion<T> once(std::move(completion));
    try {
        std::forward<Body>(body)(once);
    } catch (...) {
        once(SVResult<T>(SVFailure::fromCurrentException()));
    }
}

// Observes `future` with the completion.
template <class T>
void deliver(const Future<T>& future, const OnceCompletion<T>& once) {
    future.observe([once](const SVResult<T>& result) { once(result); });
}

// A line that ends with a secret (an activation code, a text holding key
// content): with `debug` and `keys` the whole line goes to "Keys" as every
// secret does; with `debug` alone the line ends at `prefix`.
inline void logSecretLine(SVLogCategory category, const std::string& prefix, const std::string& secret) {
    if (Logger::isKeysEnabled())
        Logger::secret([&] { return prefix + secret; });
    else
        Logger::log(category, prefix);
}

// A transaction whose binary document has a URL but was not downloaded.
inline bool isBinaryDataPending(const SVTransaction& transaction) {
    return transaction.binaryDataURLString().has_value() && !transaction.downloadedBinaryData().has_value();
}

// The bodies of online signing and declining: log line, pending-binary
// check, the user's protocol object, the server operation.
void sign(const SVTransaction& transaction, const SVUser& user,
          std::optional<JSONScoringParameters> scoringParameters, const OnceCompletion<void>& completion);
void decline(const SVTransaction& transaction, const SVUser& user, const OnceCompletion<void>& completion);

}  // namespace svsdk::operations
