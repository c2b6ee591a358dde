#pragma once
// Host-name resolution with a time limit. The lookup runs through c-ares on
// the main queue (its sockets are watched there, its retransmissions are
// main-queue timers), so nothing blocks; the answer and the time limit are the
// resolution's two endings, and whichever comes first calls the completion:
// with the addresses found, with none after a failed lookup, or with none
// after the time limit, which also cancels the lookup.
#include <ares.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "Core/Time/BlockTimer.h"
#include "Core/Time/InternetAddress.h"

namespace svsdk {

class DNSResolver : public std::enable_shared_from_this<DNSResolver> {
public:
    using Completion = std::function<void(std::vector<InternetAddress> addresses)>;

    // Starts a resolution of `host`'s IPv4 and IPv6 addresses and returns at
    // once. `completion` runs once, on the main queue; never when the queue
    // stops first (the resolution is then abandoned).
    static void resolve(const std::string& host, double timeout, Completion completion);

    // The two endings, callable from any thread: they exclude each other in
    // one atomic step, so the completion runs exactly once, on the thread of
    // the first.
    void onAnswer(std::vector<InternetAddress> addresses);
    void onTimeout();

    // The name servers resolutions ask ("127.0.0.1:5353,..."), instead of the
    // system's; none restores the system's. Tests point them at loopback.
    static void setServersForTesting(std::optional<std::string> servers);

    explicit DNSResolver(Completion completion);
    ~DNSResolver();
    DNSResolver(const DNSResolver&) = delete;
    DNSResolver& operator=(const DNSResolver&) = delete;

private:
    // Main-queue thread only.
    void start(const std::string& host);
    void process(int fd, unsigned ready);
    void scheduleRetransmission();
    void closeChannel();
    void finish();  // after an ending: stop the timer, close the lookup
    static void socketStateChanged(void* data, ares_socket_t fd, int readable, int writable);
    static void answered(void* arg, int status, int timeouts, ares_addrinfo* result);

    std::atomic<bool> ended_{false};
    Completion completion_;  // taken by the ending that wins
    std::mutex timerLock_;
    std::weak_ptr<BlockTimer> timer_;

    // The lookup, on the main-queue thread.
    ares_channel channel_ = nullptr;
    std::map<ares_socket_t, std::uint64_t> watches_;
    std::uint64_t retransmission_ = 0;
};

}  // namespace svsdk
