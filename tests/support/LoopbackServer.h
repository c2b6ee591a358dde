#pragma once
// An HTTP server on 127.0.0.1 and an ephemeral port for tests. Each test
// scripts its answers per method and path (status, headers, body, a delay, a
// dropped connection) and reads back every request the server received.
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace httplib {
class Server;
}

namespace svsdk::testing {

struct RecordedRequest {
    std::string method;
    // The request target as sent: path and query, percent escapes kept.
    std::string path;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
    // The client's port: requests on one kept-alive connection share it.
    int remotePort = 0;

    // The first header of that name (case-insensitive).
    std::optional<std::string> header(std::string_view name) const;
    // Every header of that name.
    std::size_t headerCount(std::string_view name) const;
};

struct ScriptedAnswer {
    enum class Drop {
        none,
        // The connection is closed before anything is answered.
        beforeAnswer,
        // Status, headers (with the full Content-Length) and the first half
        // of the body are sent, then the connection is closed.
        midBody,
    };

    int status = 200;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
    double delay = 0;  // seconds to wait before answering
    Drop drop = Drop::none;
    // A large body made while it is sent: `body`, then `unit` `count` times,
    // then `tail`.
    struct Repeated {
        std::string unit;
        std::size_t count = 0;
        std::string tail;
    };
    std::optional<Repeated> repeated;

    static ScriptedAnswer json(int status, std::string body) {
        ScriptedAnswer answer;
        answer.status = status;
        answer.headers = {{"Content-Type", "application/json"}};
        answer.body = std::move(body);
        return answer;
    }
};

class LoopbackServer {
public:
    using Handler = std::function<ScriptedAnswer(const RecordedRequest&)>;

    // Binds 127.0.0.1 on an ephemeral port and starts serving.
    LoopbackServer();
    // Stops serving: waiting answers end, open connections are closed.
    ~LoopbackServer();
    LoopbackServer(const LoopbackServer&) = delete;
    LoopbackServer& operator=(const LoopbackServer&) = delete;

    int port() const { return port_; }
    // "http://127.0.0.1:<port>"
    std::string baseURL() const;

    // The answer to requests with `method` ("*": any) whose path (the target
    // without its query) is `path`. Replaces an earlier script of the route.
    void answer(const std::string& method, const std::string& path, ScriptedAnswer answer);
    void answer(const std::string& method, const std::string& path, Handler handler);
    // The answer to every request without a script: 404 with an empty body
    // unless changed.
    void answerOthers(ScriptedAnswer answer);

    std::vector<RecordedRequest> requests() const;
    std::size_t requestCount() const;
    // Waits until at least `count` requests arrived; false after `timeout`
    // seconds.
    bool waitForRequests(std::size_t count, double timeout = 5.0) const;
    void clearRequests();

    // A port on 127.0.0.1 on which nothing listens (bound once, then freed).
    static int unusedPort();

private:
    ScriptedAnswer answerFor(const RecordedRequest& request);

    std::unique_ptr<httplib::Server> server_;
    int port_ = 0;
    std::thread thread_;
    std::atomic<bool> listenEnded_{false};

    mutable std::mutex lock_;
    mutable std::condition_variable changed_;
    bool stopping_ = false;
    std::map<std::pair<std::string, std::string>, Handler> routes_;
    ScriptedAnswer others_;
    std::vector<RecordedRequest> requests_;
};

}  // namespace svsdk::testing
