#pragma once
// A chronyd of our own, serving NTP on 127.0.0.1 and a free port from a
// temporary folder (configuration, pid file and log), never touching the
// system clock (-x). With a shift it runs under libfaketime, so its clock,
// and every time it sends, is that many seconds ahead of ours. It is started
// in the foreground, waited for until it answers, and stopped by its process id.
#include <sys/types.h>

#include <memory>
#include <string>

namespace svsdk::testing {

class TempDir;

class ChronyServer {
public:
    static constexpr const char* chronyd = "/usr/sbin/chronyd";

    // Throws std::runtime_error when no chronyd answers after a few tries.
    explicit ChronyServer(double shift = 0);
    ~ChronyServer();
    ChronyServer(const ChronyServer&) = delete;
    ChronyServer& operator=(const ChronyServer&) = delete;

    int port() const { return port_; }
    pid_t pid() const { return pid_; }
    // What chronyd wrote to its standard error.
    std::string log() const;

private:
    bool start(double shift);
    void stop();

    std::unique_ptr<TempDir> dir_;
    int port_ = 0;
    pid_t pid_ = -1;
};

}  // namespace svsdk::testing
