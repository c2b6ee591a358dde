#include "support/LoopbackServer.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <stdexcept>

#include <httplib.h>

namespace svsdk::testing {
namespace {

bool sameName(std::string_view a, std::string_view b) {
    return a.size() == b.size() && ::strncasecmp(a.data(), b.data(), a.size()) == 0;
}

int portOf(const sockaddr_storage& address) {
    return address.ss_family == AF_INET ? ntohs(reinterpret_cast<const sockaddr_in&>(address).sin_port) : -1;
}

// Shuts this process's accepted connections on `port` down (or the one from
// `peerPort`): the server library does not hand out its sockets.
void shutdownConnections(int port, std::optional<int> peerPort) {
    DIR* directory = ::opendir("/proc/self/fd");
    if (!directory) return;
    while (dirent* entry = ::readdir(directory)) {
        char* end = nullptr;
        int fd = static_cast<int>(std::strtol(entry->d_name, &end, 10));
        sockaddr_storage local{}, peer{};
        socklen_t localLength = sizeof local, peerLength = sizeof peer;
        if (*end != '\0' || fd == ::dirfd(directory) ||
            ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &localLength) != 0 || portOf(local) != port ||
            ::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peerLength) != 0 ||
            (peerPort && portOf(peer) != *peerPort))
            continue;
        ::shutdown(fd, SHUT_RDWR);
    }
    ::closedir(directory);
}

}  // namespace

std::optional<std::string> RecordedRequest::header(std::string_view name) const {
    for (const auto& [key, value] : headers)
        if (sameName(key, name)) return value;
    return std::nullopt;
}

std::size_t RecordedRequest::headerCount(std::string_view name) const {
    std::size_t count = 0;
    for (const auto& field : headers) count += sameName(field.first, name);
    return count;
}

LoopbackServer::LoopbackServer() : server_(std::make_unique<httplib::Server>()) {
    others_.status = 404;
    server_->new_task_queue = [] { return new httplib::ThreadPool(16); };
    server_->set_keep_alive_max_count(100000);
    server_->set_keep_alive_timeout(30);
    server_->set_tcp_nodelay(true);

    auto handle = [this](const httplib::Request& request, httplib::Response& response) {
        RecordedRequest recorded{request.method, request.target, {}, request.body, request.remote_port};
        for (const auto& field : request.headers) recorded.headers.push_back(field);
        std::optional<Handler> handler;
        ScriptedAnswer scripted;
        {
            std::lock_guard guard(lock_);
            requests_.push_back(recorded);
            changed_.notify_all();
            std::string path = recorded.path.substr(0, recorded.path.find('?'));
            for (const char* method : {"*", request.method.c_str()})
                if (auto found = routes_.find({method, path}); found != routes_.end()) handler = found->second;
            if (!handler) scripted = others_;
        }
        if (handler) scripted = (*handler)(recorded);
        if (scripted.delay > 0) {
            std::unique_lock guard(lock_);
            changed_.wait_for(guard, std::chrono::duration<double>(scripted.delay), [this] { return stopping_; });
        }
        if (scripted.drop == ScriptedAnswer::Drop::beforeAnswer) return shutdownConnections(port_, request.remote_port);
        response.status = scripted.status;
        std::string type;
        for (const auto& [name, value] : scripted.headers)
            if (sameName(name, "Content-Type")) type = value;
            else response.set_header(name, value);
        if (scripted.drop == ScriptedAnswer::Drop::midBody) {
            auto body = std::make_shared<std::string>(scripted.body);
            return response.set_content_provider(body->size(), type, [body](size_t, size_t, httplib::DataSink& sink) {
                sink.write(body->data(), body->size() / 2);
                return false;
            });
        }
        if (scripted.repeated) {
            auto all = std::make_shared<ScriptedAnswer>(std::move(scripted));
            const std::size_t head = all->body.size(), units = head + all->repeated->unit.size() * all->repeated->count,
                              length = units + all->repeated->tail.size();
            return response.set_content_provider(length, type, [=](size_t at, size_t, httplib::DataSink& sink) {
                const auto& [unit, count, tail] = *all->repeated;
                std::string chunk;  // about 64 KiB from `at` on
                for (; chunk.size() < 65536 && at < length; ++at)
                    chunk += at < head ? all->body[at] : at < units ? unit[(at - head) % unit.size()] : tail[at - units];
                return sink.write(chunk.data(), chunk.size());
            });
        }
        if (type.empty()) response.body = scripted.body;
        else response.set_content(scripted.body, type);
    };
    const std::string any = "[\\s\\S]*";
    server_->Get(any, handle);
    server_->Post(any, handle);
    server_->Patch(any, handle);

    port_ = server_->bind_to_any_port("127.0.0.1");
    if (port_ <= 0) throw std::runtime_error("the loopback server could not bind a port");
    auto ended = std::make_shared<std::atomic<bool>>(false);
    thread_ = std::thread([this, ended] {
        server_->listen_after_bind();
        *ended = true;
    });
    // A server stopped before it runs would serve on forever: wait for it.
    while (!server_->is_running() && !*ended) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (*ended) {
        thread_.join();
        throw std::runtime_error("the loopback server could not listen");
    }
}

LoopbackServer::~LoopbackServer() {
    {
        std::lock_guard guard(lock_);
        stopping_ = true;
    }
    changed_.notify_all();
    server_->stop();
    shutdownConnections(port_, std::nullopt);  // idle kept-alive connections hold their worker
    if (thread_.joinable()) thread_.join();
}

void LoopbackServer::answer(const std::string& method, const std::string& path, ScriptedAnswer scripted) {
    answer(method, path, [scripted](const RecordedRequest&) { return scripted; });
}

void LoopbackServer::answer(const std::string& method, const std::string& path, Handler handler) {
    std::lock_guard guard(lock_);
    routes_[{method, path}] = std::move(handler);
}

void LoopbackServer::answerOthers(ScriptedAnswer scripted) {
    std::lock_guard guard(lock_);
    others_ = std::move(scripted);
}

std::vector<RecordedRequest> LoopbackServer::requests() const {
    std::lock_guard guard(lock_);
    return requests_;
}

std::size_t LoopbackServer::requestCount() const {
    std::lock_guard guard(lock_);
    return requests_.size();
}

bool LoopbackServer::waitForRequests(std::size_t count, double timeout) const {
    std::unique_lock guard(lock_);
    return changed_.wait_for(guard, std::chrono::duration<double>(timeout), [&] { return requests_.size() >= count; });
}

void LoopbackServer::clearRequests() {
    std::lock_guard guard(lock_);
    requests_.clear();
}

int LoopbackServer::unusedPort() {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    int port = fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
                       ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0
                   ? ntohs(address.sin_port)
                   : -1;
    if (fd >= 0) ::close(fd);
    if (port <= 0) throw std::runtime_error("no free port");
    return port;
}

}  // namespace svsdk::testing
