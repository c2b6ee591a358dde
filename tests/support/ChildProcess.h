#pragma once
// Work run in a forked child, and a child's address space held to what it
// already uses and a given growth.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <fstream>
#include <functional>
#include <stdexcept>
#include <string>

namespace svsdk::testing {

// Runs `work` in a forked child that ends with _exit(0), 3 when it throws; the child's wait status.
inline int runInChildProcess(const std::function<void()>& work) {
    pid_t pid = ::fork();
    if (pid == 0) {
        try { work(); } catch (...) { ::_exit(3); }
        ::_exit(0);
    }
    int status = 0;
    while (pid > 0 && ::waitpid(pid, &status, 0) < 0 && errno == EINTR) {}
    if (pid < 0) throw std::runtime_error("fork failed");
    return status;
}

// Lets this process's address space grow by `growth` bytes beyond its present size; false if refused.
inline bool limitAddressSpace(std::size_t growth) {
    rlim_t size = 0;
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmSize:", 0) == 0) size = static_cast<rlim_t>(std::stoull(line.substr(7))) << 10;
    rlimit limit{size + growth, size + growth};
    return ::setrlimit(RLIMIT_AS, &limit) == 0;
}

}  // namespace svsdk::testing
