#pragma once
// The SDK's HTTP client: one SDK-owned network thread driving all transfers.
// Requests are handed in from any thread; every completion runs on the
// network thread, one after the other, so the rest of each request chain runs
// there too. Connections are kept alive and reused; no cookies, credentials
// or responses are cached. Only http and https URLs are fetched, redirects
// are not followed (a signing header must never reach another host), and TLS
// peers are always verified.
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include <svsdk/SVBytes.h>
#include <svsdk/SVError.h>

namespace svsdk {

// Header fields in order; names compare without regard to case.
class HTTPHeaders {
public:
    using Field = std::pair<std::string, std::string>;

    // Replaces the field of that name (the first; later duplicates are
    // removed), or adds it at the end.
    void set(const std::string& name, std::string value);
    void add(std::string name, std::string value) { fields_.emplace_back(std::move(name), std::move(value)); }
    std::optional<std::string> value(std::string_view name) const;
    const std::vector<Field>& fields() const noexcept { return fields_; }
    std::size_t size() const noexcept { return fields_.size(); }

private:
    std::vector<Field> fields_;
};

// One request as it goes on the wire.
struct URLRequest {
    std::string url;  // absolute text
    std::string httpMethod = "GET";
    HTTPHeaders headers;
    std::optional<Bytes> httpBody;
    double timeoutInterval = 60.0;  // seconds for the whole transfer
    // A body larger than this fails the transfer as it arrives (0: the
    // session's own limit, which also caps a larger value).
    std::size_t maximumBodySize = 0;
};

struct HTTPResponse {
    long statusCode = 0;
    HTTPHeaders headers;  // of the final response
};

// What a transfer produced. `response` is present once a status line and its
// headers arrived; `error` whenever the transfer did not complete (no
// connection, time-out, TLS failure, connection lost mid-body, a refused
// scheme), also when a response had started.
struct TransferResult {
    std::optional<Bytes> data;
    std::optional<HTTPResponse> response;
    std::optional<SVPlatformError> error;
};

class HTTPSession {
public:
    using Completion = std::function<void(TransferResult)>;

    // Bodies larger than this fail the transfer.
    static constexpr std::size_t kMaximumBodySize = 128u * 1024u * 1024u;
    // Parallel connections to one host; further transfers wait for one.
    static constexpr long kMaximumConnectionsPerHost = 6;

    // Starts the network thread; throws std::bad_alloc when libcurl cannot
    // make its transfer engine.
    HTTPSession();
    // Stops the thread; transfers still running are dropped with their
    // completions uncalled. Allowed inside one of its own completions: the
    // thread then ends once that completion returns.
    ~HTTPSession();
    HTTPSession(const HTTPSession&) = delete;
    HTTPSession& operator=(const HTTPSession&) = delete;

    // The session of every server request and API-version probe: made on
    // first use, stopped at process exit.
    static HTTPSession& shared();

    // Starts `request`; `completion` runs once on the network thread (unless
    // the session stops first). Callable from any thread, the network thread
    // included.
    void dataTask(URLRequest request, Completion completion);

    // True on the session's network thread.
    bool isCurrent() const;

    // Ends the thread after the running completion. Later tasks are dropped.
    void stop();

private:
    struct Transfer;
    // Everything the network thread uses; the thread holds it too, so it
    // outlives a session destroyed from one of the thread's completions.
    struct Loop;

    std::shared_ptr<Loop> loop_;
    std::mutex joinLock_;
    std::thread thread_;
};

}  // namespace svsdk
