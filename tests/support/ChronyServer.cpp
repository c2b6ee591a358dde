#include "support/ChronyServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

#include "support/TestEnvironment.h"

extern char** environ;

namespace svsdk::testing {
namespace {

using Clock = std::chrono::steady_clock;

sockaddr_in loopback(int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

int freeUdpPort() {
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    auto address = loopback(0);
    socklen_t length = sizeof address;
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(fd);
    return ntohs(address.sin_port);
}

// True once a client request to the port gets a 48-byte answer.
bool answers(int port) {
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    auto address = loopback(port);
    std::uint8_t request[48] = {0x1B};
    request[40] = 0xE0;  // any non-zero transmit timestamp
    ::sendto(fd, request, sizeof request, 0, reinterpret_cast<sockaddr*>(&address), sizeof address);
    pollfd ready{fd, POLLIN, 0};
    std::uint8_t reply[128];
    bool answered = ::poll(&ready, 1, 200) == 1 && ::recv(fd, reply, sizeof reply, 0) >= 48;
    ::close(fd);
    return answered;
}

std::string libfaketime() {
    for (const char* path : {"/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1",
                             "/usr/lib/aarch64-linux-gnu/faketime/libfaketime.so.1", "/usr/lib/faketime/libfaketime.so.1"})
        if (::access(path, R_OK) == 0) return path;
    throw std::runtime_error("libfaketime is not installed");
}

}  // namespace

ChronyServer::ChronyServer(double shift) {
    for (int attempt = 0; attempt < 3; ++attempt)
        if (start(shift)) return;
    throw std::runtime_error("chronyd did not start: " + log());
}

ChronyServer::~ChronyServer() { stop(); }

bool ChronyServer::start(double shift) {
    dir_ = std::make_unique<TempDir>();
    port_ = freeUdpPort();
    {
        std::ofstream config(dir_->file("chrony.conf"));
        config << "port " << port_ << "\n"
               << "bindaddress 127.0.0.1\n"
               << "allow 127.0.0.1\n"
               << "local stratum 8\n"
               << "cmdport 0\n"
               << "pidfile " << dir_->file("chronyd.pid") << "\n";
    }
    std::string config = dir_->file("chrony.conf");
    std::string logPath = dir_->file("chronyd.log");
    // -d: foreground, logging to stderr; -x: never adjust the system clock;
    // -u root: run as we are (no unprivileged user to switch to).
    std::vector<std::string> args = {chronyd, "-d", "-x", "-u", "root", "-f", config};
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        std::string entry = *e;
        if (entry.rfind("LD_PRELOAD=", 0) != 0 && entry.rfind("FAKETIME", 0) != 0) env.push_back(entry);
    }
    if (shift != 0) {
        std::ostringstream offset;
        offset << std::showpos << shift << "s";
        env.push_back("LD_PRELOAD=" + libfaketime());
        env.push_back("FAKETIME=" + offset.str());
    }
    auto pointers = [](std::vector<std::string>& strings) {
        std::vector<char*> result;
        for (auto& s : strings) result.push_back(s.data());
        result.push_back(nullptr);
        return result;
    };
    auto argv = pointers(args);
    auto envp = pointers(env);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    int spawned = ::posix_spawn(&pid_, chronyd, &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        pid_ = -1;
        return false;
    }
    auto deadline = Clock::now() + std::chrono::seconds(5);
    while (Clock::now() < deadline) {
        if (answers(port_)) return true;
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {  // it gave up (port taken, say)
            pid_ = -1;
            return false;
        }
    }
    stop();
    return false;
}

void ChronyServer::stop() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    auto deadline = Clock::now() + std::chrono::seconds(3);
    int status = 0;
    while (::waitpid(pid_, &status, WNOHANG) == 0) {
        if (Clock::now() > deadline) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    pid_ = -1;
}

std::string ChronyServer::log() const {
    if (!dir_) return {};
    std::ifstream in(dir_->file("chronyd.log"));
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace svsdk::testing
