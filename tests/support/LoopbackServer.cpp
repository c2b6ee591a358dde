#include "support/LoopbackServer.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

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
    if (address.ss_family != AF_INET) return -1;
    return ntohs(reinterpret_cast<const sockaddr_in&>(address).sin_port);
}

// Closes this process's accepted connections on `port` (all of them, or the
// one whose peer uses `peerPort`). The server library does not hand out its
// sockets, so they are found by their addresses.
void shutdownConnections(int port, std::optional<int> peerPort) {
    DIR* directory = ::opendir("/proc/self/fd");
    if (!directory) return;
    int own = ::dirfd(directory);
    while (dirent* entry = ::readdir(directory)) {
        char* end = nullptr;
        long fd = std::strtol(entry->d_name, &end, 10);
        if (*end != '\0' || fd == own) continue;
        sockaddr_storage local{}, peer{};
        socklen_t localLength = sizeof local, peerLength = sizeof peer;
        if (::getsockname(static_cast<int>(fd), reinterpret_cast<sockaddr*>(&local), &localLength) != 0) continue;
        if (portOf(local) != port) continue;
        if (::getpeername(static_cast<int>(fd), reinterpret_cast<sockaddr*>(&peer), &peerLength) != 0) continue;
        if (peerPort && portOf(peer) != *peerPort) continue;
        ::shutdown(static_cast<int>(fd), SHUT_RDWR);
    }
    ::closedir(directory);
}

std::string pathOf(const std::string& target) { return target.substr(0, target.find('?')); }

}  // namespace

std::optional<std::string> RecordedRequest::header(std::string_view name) const {
    for (const auto& [key, value] : headers)
        if (sameName(key, name)) return value;
    return std::nullopt;
}

std::size_t RecordedRequest::headerCount(std::string_view name) const {
    std::size_t count = 0;
    for (const auto& field : headers)
        if (sameName(field.first, name)) ++count;
    return count;
}

LoopbackServer::LoopbackServer() : server_(std::make_unique<httplib::Server>()) {
    others_.status = 404;
    server_->new_task_queue = [] { return new httplib::ThreadPool(16); };
    server_->set_keep_alive_max_count(100000);
    server_->set_keep_alive_timeout(30);
    server_->set_tcp_nodelay(true);

    auto handle = [this](const httplib::Request& request, httplib::Response& response) {
        RecordedRequest recorded;
        recorded.method = request.method;
        recorded.path = request.target;
        for (const auto& [name, value] : request.headers) recorded.headers.emplace_back(name, value);
        recorded.body = request.body;
        recorded.remotePort = request.remote_port;
        {
            std::lock_guard guard(lock_);
            requests_.push_back(recorded);
        }
        changed_.notify_all();

        ScriptedAnswer scripted = answerFor(recorded);
        if (scripted.delay > 0) {
            std::unique_lock guard(lock_);
            changed_.wait_for(guard, std::chrono::duration<double>(scripted.delay), [this] { return stopping_; });
        }
        if (scripted.drop == ScriptedAnswer::Drop::beforeAnswer) {
            shutdownConnections(port_, request.remote_port);
            return;
        }
        response.status = scripted.status;
        std::string contentType;
        for (const auto& [name, value] : scripted.headers) {
            if (sameName(name, "Content-Type"))
                contentType = value;
            else
                response.set_header(name, value);
        }
        if (scripted.drop == ScriptedAnswer::Drop::midBody) {
            auto body = std::make_shared<std::string>(scripted.body);
            response.set_content_provider(body->size(), contentType,
                                          [body](size_t, size_t, httplib::DataSink& sink) {
                                              sink.write(body->data(), body->size() / 2);
                                              return false;
                                          });
            return;
        }
        if (scripted.repeated) {
            auto parts = std::make_shared<std::pair<std::string, ScriptedAnswer::Repeated>>(
                std::move(scripted.body), std::move(*scripted.repeated));
            std::size_t length =
                parts->first.size() + parts->second.unit.size() * parts->second.count + parts->second.tail.size();
            response.set_content_provider(length, contentType, [parts](size_t offset, size_t, httplib::DataSink& sink) {
                const auto& [head, repeated] = *parts;
                // One chunk of about 64 KiB from `offset` on.
                std::string chunk;
                std::size_t unitsEnd = head.size() + repeated.unit.size() * repeated.count;
                std::size_t end = unitsEnd + repeated.tail.size();
                for (std::size_t at = offset; chunk.size() < 65536 && at < end;) {
                    std::string_view piece;
                    if (at < head.size())
                        piece = std::string_view(head).substr(at);
                    else if (at < unitsEnd)
                        piece = std::string_view(repeated.unit).substr((at - head.size()) % repeated.unit.size());
                    else
                        piece = std::string_view(repeated.tail).substr(at - unitsEnd);
                    chunk.append(piece);
                    at += piece.size();
                }
                return sink.write(chunk.data(), chunk.size());
            });
            return;
        }
        if (contentType.empty())
            response.body = scripted.body;
        else
            response.set_content(scripted.body, contentType);
    };
    const std::string any = "[\\s\\S]*";
    server_->Get(any, handle);
    server_->Post(any, handle);
    server_->Patch(any, handle);

    port_ = server_->bind_to_any_port("127.0.0.1");
    if (port_ <= 0) throw std::runtime_error("the loopback server could not bind a port");
    thread_ = std::thread([this] {
        server_->listen_after_bind();
        listenEnded_ = true;
    });
    // Stopping is a no-op until the server runs, and a server stopped before
    // that would serve on forever: wait for it.
    while (!server_->is_running() && !listenEnded_) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (listenEnded_) {
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
    // Idle kept-alive connections would hold their worker until they time out.
    shutdownConnections(port_, std::nullopt);
    if (thread_.joinable()) thread_.join();
}

std::string LoopbackServer::baseURL() const { return "http://127.0.0.1:" + std::to_string(port_); }

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

ScriptedAnswer LoopbackServer::answerFor(const RecordedRequest& request) {
    Handler handler;
    {
        std::lock_guard guard(lock_);
        std::string path = pathOf(request.path);
        auto found = routes_.find({request.method, path});
        if (found == routes_.end()) found = routes_.find({"*", path});
        if (found == routes_.end()) return others_;
        handler = found->second;
    }
    return handler(request);
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
    return changed_.wait_for(guard, std::chrono::duration<double>(timeout),
                             [&] { return requests_.size() >= count; });
}

void LoopbackServer::clearRequests() {
    std::lock_guard guard(lock_);
    requests_.clear();
}

int LoopbackServer::unusedPort() {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) throw std::runtime_error("no socket");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t length = sizeof address;
    int port = -1;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    ::close(fd);
    if (port <= 0) throw std::runtime_error("no free port");
    return port;
}

}  // namespace svsdk::testing
