#pragma once
// Helpers for store tests: direct SQL on a store file, and child processes.
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <stdexcept>
#include <string>

#include <sqlite3.h>

namespace svsdk::testing {

// A plain connection to a store file, for writing what the SDK never writes
// (older schemas, legacy rows, triggers) and for looking behind its back.
class RawDatabase {
public:
    explicit RawDatabase(const std::string& path) { sqlite3_open(path.c_str(), &db_); }
    ~RawDatabase() { sqlite3_close(db_); }
    RawDatabase(const RawDatabase&) = delete;

    void exec(const std::string& sql) { scalar(sql); }
    // The first column of the first row, as text ("" when there is none).
    std::string scalar(const std::string& sql) {
        std::string value;
        auto first = [](void* out, int, char** row, char**) {
            if (row[0]) *static_cast<std::string*>(out) = row[0];
            return 1;  // one row is enough
        };
        int rc = sqlite3_exec(db_, sql.c_str(), first, &value, nullptr);
        if (rc != SQLITE_OK && rc != SQLITE_ABORT) throw std::runtime_error(sqlite3_errmsg(db_) + (" in: " + sql));
        return value;
    }

private:
    sqlite3* db_ = nullptr;
};

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

}  // namespace svsdk::testing
