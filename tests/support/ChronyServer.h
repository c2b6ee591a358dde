#pragma once
// A chronyd of our own, serving NTP on 127.0.0.1 and a free port from a temporary folder (configuration, pid file,
// log), never touching the system clock (-x). With a shift it runs under libfaketime, so its clock, and every time
// it sends, is that many seconds ahead of ours. It is waited for until it answers, and killed by its process id.
#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "support/LoopbackServer.h"

extern char** environ;

namespace svsdk::testing {

class ChronyServer {
public:
    // Throws std::runtime_error when no chronyd answers after a few tries.
    explicit ChronyServer(double shift = 0) {
        std::string pattern = (std::filesystem::temp_directory_path() / "svsdk-chronyd-XXXXXX").string();
        if (!::mkdtemp(pattern.data())) throw std::runtime_error("cannot make a folder for chronyd");
        dir_ = pattern;
        for (int attempt = 0; attempt < 3; ++attempt)
            if (start(shift)) return;
        auto text = log();
        std::filesystem::remove_all(dir_);
        throw std::runtime_error("chronyd did not start: " + text);
    }
    ~ChronyServer() {
        stop();
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }
    ChronyServer(const ChronyServer&) = delete;
    ChronyServer& operator=(const ChronyServer&) = delete;

    int port() const { return port_; }
    std::string log() const {  // what chronyd wrote to its standard error
        std::stringstream text;
        text << std::ifstream(dir_ + "/chronyd.log").rdbuf();
        return text.str();
    }

private:
    bool start(double shift) {
        port_ = LoopbackServer::unusedPort();  // free for TCP, most likely for UDP too (else chronyd exits: a retry)
        std::string config = dir_ + "/chrony.conf", logPath = dir_ + "/chronyd.log";
        std::ofstream(config) << "port " << port_ << "\nbindaddress 127.0.0.1\nallow 127.0.0.1\nlocal stratum 8\n"
                              << "cmdport 0\npidfile " << dir_ << "/chronyd.pid\n";
        // -d: foreground, logging to stderr; -x: never adjust the system clock;
        // -u root: run as we are (no unprivileged user to switch to).
        std::vector<std::string> args = {"/usr/sbin/chronyd", "-d", "-x", "-u", "root", "-f", config}, env;
        for (char** e = environ; *e; ++e) env.push_back(*e);
        if (shift != 0) {
            const char* library = "/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1";
            if (::access(library, R_OK) != 0) throw std::runtime_error("libfaketime is not installed");
            std::ostringstream offset;
            offset << "FAKETIME=" << std::showpos << shift << "s";
            env.insert(env.end(), {std::string("LD_PRELOAD=") + library, offset.str()});
        }
        auto argv = pointers(args), envp = pointers(env);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        int spawned = ::posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data());
        posix_spawn_file_actions_destroy(&actions);
        if (spawned != 0) return pid_ = -1, false;
        for (auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
             std::chrono::steady_clock::now() < end;) {
            if (answers()) return true;
            if (int status; ::waitpid(pid_, &status, WNOHANG) == pid_) return pid_ = -1, false;  // it gave up
        }
        return stop(), false;
    }

    void stop() {
        if (pid_ <= 0) return;
        int status = 0;
        ::kill(pid_, SIGKILL), ::waitpid(pid_, &status, 0), pid_ = -1;
    }

    // True once a client request gets a 48-byte answer within 0.2 s.
    bool answers() const {
        int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{AF_INET, htons(static_cast<std::uint16_t>(port_)), {htonl(INADDR_LOOPBACK)}, {}};
        std::uint8_t request[48] = {0x1B}, reply[128];
        request[40] = 0xE0;  // any non-zero transmit timestamp
        ::sendto(fd, request, sizeof request, 0, reinterpret_cast<sockaddr*>(&address), sizeof address);
        pollfd ready{fd, POLLIN, 0};
        bool answered = ::poll(&ready, 1, 200) == 1 && ::recv(fd, reply, sizeof reply, 0) >= 48;
        return ::close(fd), answered;
    }

    static std::vector<char*> pointers(std::vector<std::string>& strings) {
        std::vector<char*> result;
        for (auto& s : strings) result.push_back(s.data());
        return result.push_back(nullptr), result;
    }

    std::string dir_;  // removed with the server
    int port_ = 0;
    pid_t pid_ = -1;
};

}  // namespace svsdk::testing
