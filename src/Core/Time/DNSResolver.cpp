#include "Core/Time/DNSResolver.h"

#include <netdb.h>

#include <cstring>
#include <utility>

namespace svsdk {
namespace {

std::mutex& serversLock() {
    static auto* lock = new std::mutex;
    return *lock;
}

std::optional<std::string>& testServers() {
    static auto* servers = new std::optional<std::string>;
    return *servers;
}

void initializeLibrary() {
    static const int status = ares_library_init(ARES_LIB_INIT_ALL);
    (void)status;
}

}  // namespace

DNSResolver::DNSResolver(Completion completion) : completion_(std::move(completion)) {}

DNSResolver::~DNSResolver() {
    // Abandoned (the queue stopped) or finished: no ending runs any more;
    // destroying the channel cancels what is left of the lookup.
    ended_ = true;
    closeChannel();
}

void DNSResolver::setServersForTesting(std::optional<std::string> servers) {
    std::lock_guard guard(serversLock());
    testServers() = std::move(servers);
}

void DNSResolver::resolve(const std::string& host, double timeout, Completion completion) {
    auto resolver = std::make_shared<DNSResolver>(std::move(completion));
    auto timer = BlockTimer::scheduledTimer(timeout, false, [resolver](BlockTimer&) { resolver->onTimeout(); });
    {
        std::lock_guard guard(resolver->timerLock_);
        resolver->timer_ = timer;
    }
    DispatchQueue::main().async([resolver, host] { resolver->start(host); });
}

void DNSResolver::onAnswer(std::vector<InternetAddress> addresses) {
    if (ended_.exchange(true)) return;
    auto completion = std::move(completion_);
    finish();
    if (completion) completion(std::move(addresses));
}

void DNSResolver::onTimeout() {
    if (ended_.exchange(true)) return;
    auto completion = std::move(completion_);
    finish();
    if (completion) completion({});
}

void DNSResolver::finish() {
    std::shared_ptr<BlockTimer> timer;
    {
        std::lock_guard guard(timerLock_);
        timer = timer_.lock();
    }
    if (timer) timer->invalidate();
    // Never from inside the library's own callback: the channel is closed by
    // a task of its own.
    DispatchQueue::main().async([self = shared_from_this()] { self->closeChannel(); });
}

void DNSResolver::start(const std::string& host) {
    if (ended_) return;
    // No name, nothing to ask (a host that switched synchronisation off).
    if (host.empty()) return onAnswer({});
    initializeLibrary();
    ares_options options{};
    options.sock_state_cb = &DNSResolver::socketStateChanged;
    options.sock_state_cb_data = this;
    if (ares_init_options(&channel_, &options, ARES_OPT_SOCK_STATE_CB) != ARES_SUCCESS) {
        channel_ = nullptr;
        return onAnswer({});
    }
    {
        std::lock_guard guard(serversLock());
        if (testServers() && ares_set_servers_ports_csv(channel_, testServers()->c_str()) != ARES_SUCCESS)
            return onAnswer({});
    }
    ares_addrinfo_hints hints{};
    hints.ai_family = AF_UNSPEC;
    // A name in the hosts file (or a numeric one) is answered inside this call.
    ares_getaddrinfo(channel_, host.c_str(), nullptr, &hints, &DNSResolver::answered, this);
    scheduleRetransmission();
}

void DNSResolver::answered(void* arg, int status, int, ares_addrinfo* result) {
    auto* self = static_cast<DNSResolver*>(arg);
    std::vector<InternetAddress> addresses;
    if (status == ARES_SUCCESS && result) {
        for (auto* node = result->nodes; node; node = node->ai_next) {
            auto address = InternetAddress::fromSocketAddress(node->ai_addr, node->ai_addrlen);
            if (address) addresses.push_back(*address);
        }
    }
    if (result) ares_freeaddrinfo(result);
    // Cancelled by the time limit or by the channel's end: that ending has run.
    if (status == ARES_ECANCELLED || status == ARES_EDESTRUCTION) return;
    self->onAnswer(std::move(addresses));
}

void DNSResolver::socketStateChanged(void* data, ares_socket_t fd, int readable, int writable) {
    auto* self = static_cast<DNSResolver*>(data);
    auto& queue = DispatchQueue::main();
    if (auto it = self->watches_.find(fd); it != self->watches_.end()) {
        queue.unwatch(it->second);
        self->watches_.erase(it);
    }
    if (!readable && !writable) return;
    unsigned events = (readable ? DispatchQueue::readable : 0u) | (writable ? DispatchQueue::writable : 0u);
    std::weak_ptr<DNSResolver> weak = self->weak_from_this();
    auto id = queue.watch(fd, events, [weak, fd](unsigned ready) {
        if (auto resolver = weak.lock()) resolver->process(fd, ready);
    });
    if (id) self->watches_.emplace(fd, id);
}

void DNSResolver::process(int fd, unsigned ready) {
    if (!channel_) return;
    ares_process_fd(channel_, (ready & DispatchQueue::readable) ? fd : ARES_SOCKET_BAD,
                    (ready & DispatchQueue::writable) ? fd : ARES_SOCKET_BAD);
    scheduleRetransmission();
}

void DNSResolver::scheduleRetransmission() {
    auto& queue = DispatchQueue::main();
    if (retransmission_) queue.cancel(std::exchange(retransmission_, 0));
    if (!channel_) return;
    timeval wait{};
    if (!ares_timeout(channel_, nullptr, &wait)) return;  // nothing outstanding
    double delay = static_cast<double>(wait.tv_sec) + static_cast<double>(wait.tv_usec) / 1e6;
    retransmission_ = queue.asyncAfter(delay, [self = shared_from_this()] {
        self->retransmission_ = 0;
        if (!self->channel_) return;
        ares_process_fd(self->channel_, ARES_SOCKET_BAD, ARES_SOCKET_BAD);
        self->scheduleRetransmission();
    });
}

void DNSResolver::closeChannel() {
    if (!channel_) return;
    auto& queue = DispatchQueue::main();
    if (retransmission_) queue.cancel(std::exchange(retransmission_, 0));
    ares_destroy(std::exchange(channel_, nullptr));  // reports each socket closed
    for (auto& [fd, id] : watches_) queue.unwatch(id);
    watches_.clear();
}

}  // namespace svsdk
