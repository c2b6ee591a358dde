#include "Core/Networking/HTTPSession.h"

#include <curl/curl.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <map>
#include <new>
#include <strings.h>

#include "Core/Diagnostics/Logger.h"

namespace svsdk {
namespace {

bool sameName(std::string_view a, std::string_view b) {
    return a.size() == b.size() && ::strncasecmp(a.data(), b.data(), a.size()) == 0;
}

bool isValidField(const std::string& name, const std::string& value) {
    if (name.empty() || name.find_first_of(":\r\n \t") != std::string::npos) return false;
    return value.find_first_of("\r\n") == std::string::npos;
}

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r' || text.back() == '\n'))
        text.remove_suffix(1);
    return text;
}

long timeoutMilliseconds(double seconds) {
    if (!std::isfinite(seconds) || seconds <= 0) seconds = 60.0;
    double ms = std::ceil(seconds * 1000.0);
    return static_cast<long>(std::clamp(ms, 1.0, 1e12));
}

}  // namespace

void HTTPHeaders::set(const std::string& name, std::string value) {
    auto first = std::find_if(fields_.begin(), fields_.end(), [&](const Field& f) { return sameName(f.first, name); });
    if (first == fields_.end()) {
        fields_.emplace_back(name, std::move(value));
        return;
    }
    first->second = std::move(value);
    fields_.erase(std::remove_if(first + 1, fields_.end(), [&](const Field& f) { return sameName(f.first, name); }),
                  fields_.end());
}

std::optional<std::string> HTTPHeaders::value(std::string_view name) const {
    for (const auto& f : fields_)
        if (sameName(f.first, name)) return f.second;
    return std::nullopt;
}

struct HTTPSession::Transfer {
    URLRequest request;
    Completion completion;
    CURL* easy = nullptr;
    curl_slist* headerList = nullptr;
    char errorBuffer[CURL_ERROR_SIZE] = {};
    Bytes body;
    HTTPHeaders responseHeaders;
    bool tooLarge = false;

    ~Transfer() {
        if (easy) curl_easy_cleanup(easy);
        if (headerList) curl_slist_free_all(headerList);
    }

    static size_t onBody(char* data, size_t size, size_t count, void* context) {
        auto& self = *static_cast<Transfer*>(context);
        size_t length = size * count;
        std::size_t limit = kMaximumBodySize;
        if (self.request.maximumBodySize != 0 && self.request.maximumBodySize < limit)
            limit = self.request.maximumBodySize;
        if (length > limit || self.body.size() > limit - length) {
            self.tooLarge = true;
            return 0;
        }
        self.body.insert(self.body.end(), data, data + length);
        return length;
    }

    static size_t onHeader(char* data, size_t size, size_t count, void* context) {
        auto& self = *static_cast<Transfer*>(context);
        size_t length = size * count;
        std::string_view line(data, length);
        if (line.rfind("HTTP/", 0) == 0) {
            // A new response (after an interim one): only the last one counts.
            self.responseHeaders = HTTPHeaders();
            return length;
        }
        auto colon = line.find(':');
        if (colon != std::string_view::npos && colon > 0)
            self.responseHeaders.add(std::string(trimmed(line.substr(0, colon))),
                                     std::string(trimmed(line.substr(colon + 1))));
        return length;
    }

    // Configures `handle` (a fresh or a reset one, or none to make one); false
    // (with the reason) when the request cannot be sent as it is.
    bool prepare(CURL* handle, std::string& reason) {
        easy = handle;
        for (const auto& [name, value] : request.headers.fields()) {
            if (!isValidField(name, value)) {
                reason = "invalid header field";
                return false;
            }
        }
        if (!easy) easy = curl_easy_init();
        if (!easy) {
            reason = "out of memory";
            return false;
        }
        curl_easy_setopt(easy, CURLOPT_URL, request.url.c_str());
        curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
        curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
        curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 0L);
        curl_easy_setopt(easy, CURLOPT_PATH_AS_IS, 1L);
        curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L);
        curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L);
        curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(easy, CURLOPT_NOPROXY, "localhost,127.0.0.1,::1");
        curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, timeoutMilliseconds(request.timeoutInterval));
        curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, errorBuffer);
        curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &Transfer::onBody);
        curl_easy_setopt(easy, CURLOPT_WRITEDATA, this);
        curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &Transfer::onHeader);
        curl_easy_setopt(easy, CURLOPT_HEADERDATA, this);

        const std::string& method = request.httpMethod;
        if (request.httpBody) {
            curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.httpBody->size()));
            curl_easy_setopt(easy, CURLOPT_POSTFIELDS, reinterpret_cast<const char*>(request.httpBody->data()));
            if (method != "POST") curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, method.c_str());
        } else if (method != "GET") {
            curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, method.c_str());
        }

        for (const auto& [name, value] : request.headers.fields()) {
            std::string line = value.empty() ? name + ";" : name + ": " + value;
            headerList = curl_slist_append(headerList, line.c_str());
        }
        // No waiting for "100 Continue" before a body is sent.
        headerList = curl_slist_append(headerList, "Expect:");
        curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headerList);
        return true;
    }

    // Hands the easy handle back; the transfer no longer uses it.
    CURL* releaseHandle() {
        CURL* handle = easy;
        easy = nullptr;
        return handle;
    }

    TransferResult finish(CURLcode code) {
        TransferResult result;
        long status = 0;
        curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
        if (status > 0) result.response = HTTPResponse{status, std::move(responseHeaders)};
        if (code != CURLE_OK) {
            std::string message = curl_easy_strerror(code);
            if (tooLarge)
                message += ": the response body is too large";
            else if (errorBuffer[0])
                message += std::string(": ") + errorBuffer;
            result.error = SVPlatformError("curl", code, message);
        }
        if (result.response) result.data = std::move(body);
        return result;
    }
};

namespace {

void complete(HTTPSession::Completion& completion, TransferResult result) {
    try {
        completion(std::move(result));
    } catch (...) {
        Logger::error(SVLogCategory::network, "A request's completion threw an error");
    }
}

}  // namespace

struct HTTPSession::Loop {
    // Easy handles kept for reuse, reset to their defaults.
    static constexpr std::size_t kIdleHandles = 8;

    CURLM* multi = nullptr;
    // Owned by the network thread.
    std::map<CURL*, std::unique_ptr<Transfer>> active;
    std::vector<CURL*> idle;
    // Guarded by `lock`.
    std::mutex lock;
    std::vector<std::unique_ptr<Transfer>> incoming;
    bool stopping = false;
    std::atomic<std::thread::id> threadID{};

    Loop() {
        static const bool initialized = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
        (void)initialized;
        multi = curl_multi_init();
        if (!multi) throw std::bad_alloc();
        curl_multi_setopt(multi, CURLMOPT_MAX_HOST_CONNECTIONS, kMaximumConnectionsPerHost);
    }
    ~Loop() {
        dropActive();
        for (CURL* handle : idle) curl_easy_cleanup(handle);
        curl_multi_cleanup(multi);
    }

    CURL* takeHandle() {
        if (idle.empty()) return nullptr;
        CURL* handle = idle.back();
        idle.pop_back();
        return handle;
    }
    void recycle(CURL* handle) {
        if (!handle) return;
        if (idle.size() >= kIdleHandles) {
            curl_easy_cleanup(handle);
            return;
        }
        curl_easy_reset(handle);
        idle.push_back(handle);
    }
    void dropActive() {
        for (auto& [easy, transfer] : active) curl_multi_remove_handle(multi, easy);
        active.clear();
    }

    // Hands the new transfers to libcurl; one that cannot start completes at once.
    void start(std::vector<std::unique_ptr<Transfer>>& added) {
        for (auto& transfer : added) {
            std::string reason;
            if (!transfer->prepare(takeHandle(), reason) || curl_multi_add_handle(multi, transfer->easy) != CURLM_OK) {
                recycle(transfer->releaseHandle());
                if (reason.empty()) reason = "the transfer could not be started";
                TransferResult failed;
                failed.error = SVPlatformError("curl", CURLE_FAILED_INIT, reason);
                complete(transfer->completion, std::move(failed));
                continue;
            }
            CURL* easy = transfer->easy;
            active.emplace(easy, std::move(transfer));
        }
        added.clear();
    }

    // Calls the completions of the transfers libcurl has finished.
    void finishDone() {
        std::vector<std::pair<CURL*, CURLcode>> done;
        int left = 0;
        while (CURLMsg* message = curl_multi_info_read(multi, &left))
            if (message->msg == CURLMSG_DONE) done.emplace_back(message->easy_handle, message->data.result);
        for (auto [easy, code] : done) {
            auto found = active.find(easy);
            if (found == active.end()) continue;
            std::unique_ptr<Transfer> transfer = std::move(found->second);
            active.erase(found);
            curl_multi_remove_handle(multi, easy);
            TransferResult result = transfer->finish(code);
            recycle(transfer->releaseHandle());
            Completion completion = std::move(transfer->completion);
            transfer.reset();
            complete(completion, std::move(result));
        }
    }

    void run() {
        threadID.store(std::this_thread::get_id());
        std::vector<std::unique_ptr<Transfer>> added;
        for (;;) {
            {
                std::lock_guard guard(lock);
                if (stopping) break;
                added.swap(incoming);
            }
            start(added);
            int running = 0;
            curl_multi_perform(multi, &running);
            finishDone();
            {
                std::lock_guard guard(lock);
                if (stopping) break;
                if (!incoming.empty()) continue;
            }
            // Wait for socket activity, a wake-up, or the moment libcurl asks
            // to be called again (timeouts, connection upkeep), at most a second.
            long wait = -1;
            curl_multi_timeout(multi, &wait);
            if (wait < 0 || wait > 1000) wait = 1000;
            if (wait > 0) curl_multi_poll(multi, nullptr, 0, static_cast<int>(wait), nullptr);
        }
        // Transfers still running or waiting are dropped; their completions
        // are not called.
        dropActive();
        std::vector<std::unique_ptr<Transfer>> dropped;
        {
            std::lock_guard guard(lock);
            dropped.swap(incoming);
        }
    }
};

HTTPSession::HTTPSession() : loop_(std::make_shared<Loop>()) {
    thread_ = std::thread([loop = loop_] { loop->run(); });
}

HTTPSession::~HTTPSession() {
    stop();
    // Destroyed from one of its own completions: the thread ends after it
    // returns, and releases the loop then.
    if (isCurrent()) thread_.detach();
}

HTTPSession& HTTPSession::shared() {
    // Never destroyed: completions may refer to other long-lived services.
    // The thread is stopped at exit, before those go away.
    static HTTPSession* session = [] {
        auto s = new HTTPSession();
        std::atexit([] { HTTPSession::shared().stop(); });
        return s;
    }();
    return *session;
}

void HTTPSession::dataTask(URLRequest request, Completion completion) {
    auto transfer = std::make_unique<Transfer>();
    transfer->request = std::move(request);
    transfer->completion = std::move(completion);
    {
        std::lock_guard guard(loop_->lock);
        if (loop_->stopping) return;
        loop_->incoming.push_back(std::move(transfer));
    }
    // The loop looks for new transfers before it waits again.
    if (!isCurrent()) curl_multi_wakeup(loop_->multi);
}

bool HTTPSession::isCurrent() const { return loop_->threadID.load() == std::this_thread::get_id(); }

void HTTPSession::stop() {
    {
        std::lock_guard guard(loop_->lock);
        loop_->stopping = true;
    }
    curl_multi_wakeup(loop_->multi);
    // On the network thread itself the loop ends once the completion returns.
    if (isCurrent()) return;
    std::lock_guard guard(joinLock_);
    if (thread_.joinable()) thread_.join();
}

}  // namespace svsdk
