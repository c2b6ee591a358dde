#pragma once
// An HTTP server on 127.0.0.1 and an ephemeral port for tests: answers
// scripted per method and path, every received request recorded.
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace httplib { class Server; }

namespace svsdk::testing {

struct RecordedRequest {
    std::string method, path;  // path: the target as sent, query and escapes kept
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
    int remotePort = 0;  // shared by the requests of one kept-alive connection

    std::optional<std::string> header(std::string_view name) const;  // the first of that name, in any case
    std::size_t headerCount(std::string_view name) const;
};

struct ScriptedAnswer {
    // beforeAnswer: closed unanswered; midBody: closed after half the body (full Content-Length).
    enum class Drop { none, beforeAnswer, midBody };
    // A large body made while it is sent: `body`, `unit` `count` times, `tail`.
    struct Repeated {
        std::string unit;
        std::size_t count = 0;
        std::string tail;
    };

    int status = 200;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
    double delay = 0;  // seconds before answering
    Drop drop = Drop::none;
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

    LoopbackServer();
    ~LoopbackServer();  // waiting answers end, open connections are closed
    LoopbackServer(const LoopbackServer&) = delete;

    int port() const { return port_; }
    std::string baseURL() const { return "http://127.0.0.1:" + std::to_string(port_); }

    // The answer to `method` ("*": any) on `path` (the target without its query).
    void answer(const std::string& method, const std::string& path, ScriptedAnswer answer);
    void answer(const std::string& method, const std::string& path, Handler handler);
    void answerOthers(ScriptedAnswer answer);  // else 404 with an empty body

    std::vector<RecordedRequest> requests() const;
    std::size_t requestCount() const;
    bool waitForRequests(std::size_t count, double timeout = 5.0) const;  // false after `timeout` s
    void clearRequests();

    static int unusedPort();  // bound once on 127.0.0.1, then freed

private:
    std::unique_ptr<httplib::Server> server_;
    int port_ = 0;
    std::thread thread_;
    mutable std::mutex lock_;
    mutable std::condition_variable changed_;
    bool stopping_ = false;
    std::map<std::pair<std::string, std::string>, Handler> routes_;
    ScriptedAnswer others_;
    std::vector<RecordedRequest> requests_;
};

}  // namespace svsdk::testing
