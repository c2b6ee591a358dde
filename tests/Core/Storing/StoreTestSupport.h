#pragma once
// Helpers for store tests: direct SQL on a store file, and child processes.
#include <string>

#include <sqlite3.h>

#include "support/ChildProcess.h"

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

}  // namespace svsdk::testing
