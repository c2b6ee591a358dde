#include "Platform/KeychainStore.h"

#include <fcntl.h>
#include <pthread.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <utility>
#include <vector>

#include <svsdk/SVDate.h>
#include <svsdk/SVError.h>

#include "Core/Diagnostics/Logger.h"
#include "Platform/PlatformConfiguration.h"
#include "Platform/PrivateFile.h"

namespace svsdk {
namespace {

constexpr int kSchemaVersion = 1;
constexpr const char* kSchema = R"sql(
CREATE TABLE IF NOT EXISTS generic_passwords (
    service TEXT NOT NULL,
    account TEXT NOT NULL,
    access_group TEXT NOT NULL,
    value BLOB NOT NULL,
    accessible TEXT NOT NULL,
    created REAL NOT NULL,
    modified REAL NOT NULL,
    PRIMARY KEY (service, account, access_group)
);
CREATE TABLE IF NOT EXISTS keys (
    key_class TEXT NOT NULL,
    key_type TEXT NOT NULL,
    key_size INTEGER NOT NULL,
    application_tag BLOB NOT NULL,
    application_label BLOB NOT NULL,
    access_group TEXT NOT NULL,
    token_id TEXT,
    access_control TEXT,
    key_data BLOB NOT NULL,
    created REAL NOT NULL,
    PRIMARY KEY (key_class, key_type, application_tag, application_label, access_group)
);
)sql";

// Items without an access group belong to the default group, stored as "".
std::string groupColumn(const std::optional<std::string>& group) { return group.value_or(std::string()); }
std::optional<std::string> groupFromColumn(std::string text) {
    if (text.empty()) return std::nullopt;
    return text;
}
// An empty group in a query is no group.
const std::optional<std::string>& normalized(const std::optional<std::string>& group) {
    static const std::optional<std::string> none;
    return group && !group->empty() ? group : none;
}

const char* accessibilityText(KeychainAccessibility a) {
    switch (a) {
        case KeychainAccessibility::afterFirstUnlock: return "afterFirstUnlock";
        case KeychainAccessibility::afterFirstUnlockThisDeviceOnly: return "afterFirstUnlockThisDeviceOnly";
        case KeychainAccessibility::alwaysThisDeviceOnly: return "alwaysThisDeviceOnly";
    }
    return "afterFirstUnlockThisDeviceOnly";
}
KeychainAccessibility accessibilityFromText(const std::string& text) {
    if (text == "afterFirstUnlock") return KeychainAccessibility::afterFirstUnlock;
    if (text == "alwaysThisDeviceOnly") return KeychainAccessibility::alwaysThisDeviceOnly;
    return KeychainAccessibility::afterFirstUnlockThisDeviceOnly;
}
const char* keyClassText(KeyClass c) { return c == KeyClass::privateKey ? "private" : "public"; }

OSStatus statusOf(sqlite3* db, int rc) {
    int extended = db ? sqlite3_extended_errcode(db) : rc;
    switch (extended) {
        case SQLITE_CONSTRAINT_PRIMARYKEY:
        case SQLITE_CONSTRAINT_UNIQUE: return errSecDuplicateItem;
        default: break;
    }
    switch (rc & 0xff) {
        case SQLITE_NOMEM: return errSecAllocate;
        case SQLITE_TOOBIG:
        case SQLITE_RANGE:
        case SQLITE_MISMATCH: return errSecParam;
        case SQLITE_CORRUPT:
        case SQLITE_NOTADB: return errSecDecode;
        case SQLITE_IOERR:
        case SQLITE_FULL:
        case SQLITE_CANTOPEN:
        case SQLITE_READONLY:
        case SQLITE_PERM:
        case SQLITE_BUSY:
        case SQLITE_LOCKED: return errSecIO;
        default: return errSecInternalComponent;
    }
}

// The identity of a file. A store file deleted or replaced under an open
// connection is another file at the same path.
struct FileIdentity {
    dev_t device = 0;
    ino_t inode = 0;
    bool operator==(const FileIdentity&) const = default;
};

FileIdentity identityOf(const struct stat& info) { return FileIdentity{info.st_dev, info.st_ino}; }

// A connection to the store at one path, kept open across operations. Not
// thread-safe: SharedConnection guards it.
class Connection {
public:
    Connection() = default;
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;
    ~Connection() { close(); }

    // errSecSuccess when this connection holds the file now at `path` (0600,
    // schema in place). Opens the file, or reopens it when the one at the
    // path is not the one held.
    OSStatus ready(const std::string& path) {
        if (path.empty()) return errSecParam;
        struct stat info {};
        if (db_ && ::lstat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && identityOf(info) == identity_ &&
            (info.st_mode & 07777) == 0600)
            return errSecSuccess;
        FileIdentity prepared;
        if (auto status = prepareFile(path, prepared); status != errSecSuccess) return status;
        if (db_ && prepared == identity_) return errSecSuccess;  // only its mode was tightened
        close();
        if (auto status = open(path); status != errSecSuccess) {
            close();
            return status;
        }
        // The file SQLite opened must be the one prepared above.
        int moved = 0;
        if (::lstat(path.c_str(), &info) != 0 || identityOf(info) != prepared ||
            sqlite3_file_control(db_, "main", SQLITE_FCNTL_HAS_MOVED, &moved) != SQLITE_OK || moved) {
            Logger::error(SVLogCategory::keychain, "Keychain store was replaced while it was being opened");
            close();
            return errSecIO;
        }
        identity_ = prepared;
        return errSecSuccess;
    }

    // Closes without checkpointing: the file may have been replaced, and the
    // WAL and shared-memory files at its path may belong to the new one.
    // Nothing of this process's writes is left to checkpoint (see transaction).
    void close() {
        for (auto& entry : statements_) sqlite3_finalize(entry.second);  // null when taken
        statements_.clear();
        if (!db_) return;
        sqlite3_db_config(db_, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
        sqlite3_close_v2(db_);
        db_ = nullptr;
        identity_ = FileIdentity{};
    }

    // Whether the file at `path` is still the one this connection holds.
    bool holds(const std::string& path) const {
        struct stat info {};
        return db_ && ::lstat(path.c_str(), &info) == 0 && identityOf(info) == identity_;
    }

    sqlite3* db() const { return db_; }

    // A prepared statement for `sql`, kept across operations: taken for one
    // use and given back (reset, bindings cleared) when it is done. `sql` is
    // one of the constant texts below; its address identifies it.
    int takeStatement(const char* sql, sqlite3_stmt*& stmt) {
        for (auto& [text, kept] : statements_) {
            if (text == sql && kept) {
                stmt = std::exchange(kept, nullptr);
                return SQLITE_OK;
            }
        }
        return sqlite3_prepare_v3(db_, sql, -1, SQLITE_PREPARE_PERSISTENT, &stmt, nullptr);
    }
    void returnStatement(const char* sql, sqlite3_stmt* stmt) {
        if (!stmt) return;
        sqlite3_reset(stmt);
        sqlite3_clear_bindings(stmt);
        for (auto& [text, kept] : statements_) {
            if (text == sql) {
                if (kept)
                    sqlite3_finalize(stmt);  // another use of the same text gave one back first
                else
                    kept = stmt;
                return;
            }
        }
        statements_.emplace_back(sql, stmt);
    }

    OSStatus fail(int rc, const char* step) {
        OSStatus status = statusOf(db_, rc);
        if (status != errSecDuplicateItem) {
            std::string message = db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(rc);
            Logger::log(
                SVLogCategory::keychain,
                [&] { return std::string("Keychain store failed (") + step + "): " + message; }, SVLogType::error);
        }
        return status;
    }

    OSStatus exec(const char* sql) {
        int rc = sqlite3_exec(db_, sql, nullptr, nullptr, nullptr);
        return rc == SQLITE_OK ? errSecSuccess : fail(rc, "execute");
    }

    // Runs `body` in one write transaction; commits only when it succeeds.
    // After a commit the WAL is copied into the database and truncated, so
    // that bytes overwritten by the write (a deleted key) are left in no file.
    template <class F>
    OSStatus transaction(F&& body) {
        if (auto status = exec("BEGIN IMMEDIATE"); status != errSecSuccess) return status;
        OSStatus status = body();
        if (status == errSecSuccess) status = exec("COMMIT");
        if (status != errSecSuccess) {
            sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
            return status;
        }
        int rc = sqlite3_wal_checkpoint_v2(db_, nullptr, SQLITE_CHECKPOINT_TRUNCATE, nullptr, nullptr);
        // The write is committed either way; the next write checkpoints again.
        if (rc != SQLITE_OK) fail(rc, "checkpoint");
        return errSecSuccess;
    }

private:
    OSStatus open(const std::string& path) {
        // Each connection is used under its own mutex.
        int rc = sqlite3_open_v2(path.c_str(), &db_,
                                 SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOFOLLOW |
                                     SQLITE_OPEN_NOMUTEX,
                                 nullptr);
        if (rc != SQLITE_OK) return fail(rc, "open");
        sqlite3_extended_result_codes(db_, 1);
        sqlite3_busy_timeout(db_, 10000);
        // WAL with full syncs: a committed item survives a crash or power loss.
        // secure_delete overwrites the bytes of deleted rows in the file.
        rc = sqlite3_exec(db_,
                          "PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL; PRAGMA secure_delete=ON;"
                          " PRAGMA journal_size_limit=0;",
                          nullptr, nullptr, nullptr);
        if (rc != SQLITE_OK) return fail(rc, "configure");
        return ensureSchema();
    }

    // Makes the file (0600) and its folder when missing, and tightens a file
    // found with wider permissions; `identity` is the file's.
    static OSStatus prepareFile(const std::string& path, FileIdentity& identity) {
        auto slash = path.find_last_of('/');
        if (slash != std::string::npos && slash > 0) {
            try {
                platform::makeDirectory(path.substr(0, slash));
            } catch (const SVPlatformError& e) {
                Logger::error(SVLogCategory::keychain, std::string("Keychain store folder: ") + e.what());
                return errSecIO;
            }
        }
        try {
            identity = identityOf(platform::makePrivateFile(path, true));
        } catch (const SVPlatformError& e) {
            Logger::error(SVLogCategory::keychain, std::string("Keychain store cannot be opened: ") + e.what());
            return errSecIO;
        }
        return errSecSuccess;
    }

    OSStatus ensureSchema() {
        sqlite3_stmt* stmt = nullptr;
        int rc = sqlite3_prepare_v2(db_, "PRAGMA user_version", -1, &stmt, nullptr);
        if (rc != SQLITE_OK) return fail(rc, "schema");
        int version = 0;
        rc = sqlite3_step(stmt);
        if (rc == SQLITE_ROW) version = sqlite3_column_int(stmt, 0);
        sqlite3_finalize(stmt);
        if (rc != SQLITE_ROW) return fail(rc, "schema");
        if (version == kSchemaVersion) return errSecSuccess;
        if (version > kSchemaVersion) {
            Logger::error(SVLogCategory::keychain, "Keychain store was written by a newer version");
            return errSecDecode;
        }
        return transaction([&] {
            if (auto status = exec(kSchema); status != errSecSuccess) return status;
            return exec(("PRAGMA user_version=" + std::to_string(kSchemaVersion)).c_str());
        });
    }

    sqlite3* db_ = nullptr;
    FileIdentity identity_;
    std::vector<std::pair<const char*, sqlite3_stmt*>> statements_;
};

struct SharedConnection {
    std::mutex lock;
    Connection connection;  // used only under `lock`
};

// The process's connections, one per store path.
class ConnectionRegistry {
public:
    static ConnectionRegistry& shared() {
        // Never destroyed: threads may still use the store while the process exits.
        static ConnectionRegistry* registry = [] {
            auto* made = new ConnectionRegistry;
            // The registry's lock is held across fork, so that a child never
            // starts with it taken by a thread it does not have.
            ::pthread_atfork([] { shared().lock_.lock(); }, [] { shared().lock_.unlock(); },
                             [] {
                                 shared().forked_ = true;
                                 shared().lock_.unlock();
                             });
            return made;
        }();
        return *registry;
    }

    std::shared_ptr<SharedConnection> connectionFor(const std::string& path) {
        std::lock_guard guard(lock_);
        if (forked_) leaveInherited();
        auto found = connections_.find(path);
        if (found != connections_.end()) return found->second;
        pruneGone();
        auto connection = std::make_shared<SharedConnection>();
        connections_.emplace(path, connection);
        return connection;
    }

private:
    // Drops connections whose file was deleted or replaced (a connection in
    // use is left for now), so that stores gone for good hold no descriptors.
    void pruneGone() {
        for (auto it = connections_.begin(); it != connections_.end();) {
            std::unique_lock entry(it->second->lock, std::try_to_lock);
            if (entry.owns_lock() && !it->second->connection.holds(it->first)) {
                it->second->connection.close();
                entry.unlock();
                it = connections_.erase(it);
            } else {
                ++it;
            }
        }
    }

    // In a forked child the parent's connections must not be used. Closing
    // them without a checkpoint touches nothing the parent relies on; one
    // that was in use when the process forked is left alone.
    void leaveInherited() {
        for (auto& [path, shared] : connections_) {
            std::unique_lock entry(shared->lock, std::try_to_lock);
            if (entry.owns_lock())
                shared->connection.close();
            else
                new std::shared_ptr<SharedConnection>(shared);  // never released
        }
        connections_.clear();
        forked_ = false;
    }

    std::mutex lock_;
    bool forked_ = false;  // guarded by lock_
    std::unordered_map<std::string, std::shared_ptr<SharedConnection>> connections_;
};

// Runs `body` with the connection to the store at `path`, under its mutex.
template <class F>
OSStatus withConnection(const std::string& path, F&& body) {
    if (path.empty()) return errSecParam;
    std::string resolved = path;
    if (path.front() != '/') {
        // A relative path names the file below the folder current at this call.
        std::error_code error;
        resolved = std::filesystem::absolute(path, error).lexically_normal().string();
        if (error) return errSecIO;
    }
    auto shared = ConnectionRegistry::shared().connectionFor(resolved);
    std::lock_guard guard(shared->lock);
    Connection& connection = shared->connection;
    if (auto status = connection.ready(resolved); status != errSecSuccess) return status;
    // A transaction a failed rollback left open would swallow this operation.
    if (!sqlite3_get_autocommit(connection.db())) sqlite3_exec(connection.db(), "ROLLBACK", nullptr, nullptr, nullptr);
    return body(connection);
}

class Statement {
public:
    Statement(Connection& connection, const char* sql) : connection_(connection), sql_(sql) {
        rc_ = connection.takeStatement(sql_, stmt_);
    }
    // Resetting ends the statement's read transaction.
    ~Statement() { connection_.returnStatement(sql_, stmt_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    bool ok() const { return rc_ == SQLITE_OK; }
    OSStatus failure() { return connection_.fail(rc_, "statement"); }

    void bind(int index, const std::string& text) {
        sqlite3_bind_text(stmt_, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
    }
    void bind(int index, const std::optional<std::string>& text) {
        if (text)
            bind(index, *text);
        else
            sqlite3_bind_null(stmt_, index);
    }
    void bind(int index, const char* text) { sqlite3_bind_text(stmt_, index, text, -1, SQLITE_TRANSIENT); }
    void bind(int index, const Bytes& bytes) {
        // A zero-length blob still has to be a blob, not NULL.
        static const std::uint8_t empty = 0;
        sqlite3_bind_blob(stmt_, index, bytes.empty() ? &empty : bytes.data(), static_cast<int>(bytes.size()),
                          SQLITE_TRANSIENT);
    }
    void bind(int index, const std::optional<Bytes>& bytes) {
        if (bytes)
            bind(index, *bytes);
        else
            sqlite3_bind_null(stmt_, index);
    }
    void bind(int index, double value) { sqlite3_bind_double(stmt_, index, value); }
    void bind(int index, int value) { sqlite3_bind_int(stmt_, index, value); }

    // SQLITE_ROW, SQLITE_DONE or an error code.
    int step() {
        rc_ = sqlite3_step(stmt_);
        return rc_;
    }

    std::string text(int column) {
        auto p = reinterpret_cast<const char*>(sqlite3_column_text(stmt_, column));
        return p ? std::string(p, static_cast<std::size_t>(sqlite3_column_bytes(stmt_, column))) : std::string();
    }
    std::optional<std::string> optionalText(int column) {
        if (sqlite3_column_type(stmt_, column) == SQLITE_NULL) return std::nullopt;
        return text(column);
    }
    Bytes blob(int column) {
        auto p = static_cast<const std::uint8_t*>(sqlite3_column_blob(stmt_, column));
        auto n = static_cast<std::size_t>(sqlite3_column_bytes(stmt_, column));
        return p ? Bytes(p, p + n) : Bytes();
    }
    int integer(int column) { return sqlite3_column_int(stmt_, column); }

private:
    Connection& connection_;
    const char* sql_;
    sqlite3_stmt* stmt_ = nullptr;
    int rc_ = SQLITE_OK;
};

// Runs a query and hands its first row to `read`; errSecItemNotFound when
// nothing matches.
template <class Bind, class Read>
OSStatus findFirst(Connection& connection, const char* sql, Bind&& bind, Read&& read) {
    Statement statement(connection, sql);
    if (!statement.ok()) return statement.failure();
    bind(statement);
    int rc = statement.step();
    if (rc == SQLITE_DONE) return errSecItemNotFound;
    if (rc != SQLITE_ROW) return statement.failure();
    read(statement);
    return errSecSuccess;
}

// Runs a statement that changes rows; errSecItemNotFound when none changed.
template <class Bind>
OSStatus change(Connection& connection, const char* sql, Bind&& bind, bool requireChange = true) {
    Statement statement(connection, sql);
    if (!statement.ok()) return statement.failure();
    bind(statement);
    if (statement.step() != SQLITE_DONE) return statement.failure();
    if (requireChange && sqlite3_changes(connection.db()) == 0) return errSecItemNotFound;
    return errSecSuccess;
}

#define SVSDK_PASSWORD_MATCH " WHERE service = ?1 AND account = ?2 AND (?3 IS NULL OR access_group = ?3)"
constexpr const char* kFindPassword =
    "SELECT service, account, access_group, value, accessible FROM generic_passwords" SVSDK_PASSWORD_MATCH
    " ORDER BY rowid LIMIT 1";
constexpr const char* kAddPassword =
    "INSERT INTO generic_passwords (service, account, access_group, value, accessible, created, modified)"
    " VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?6)";
constexpr const char* kUpdatePassword =
    "UPDATE generic_passwords SET value = ?4, accessible = ?5, modified = ?6" SVSDK_PASSWORD_MATCH;
constexpr const char* kDeletePasswords = "DELETE FROM generic_passwords" SVSDK_PASSWORD_MATCH;
#undef SVSDK_PASSWORD_MATCH

void bindPasswordQuery(Statement& s, const PasswordQuery& q) {
    s.bind(1, q.service);
    s.bind(2, q.account);
    s.bind(3, normalized(q.accessGroup));
}

#define SVSDK_KEY_MATCH                                                                        \
    " WHERE key_type = ?1 AND application_tag = ?2 AND (?3 IS NULL OR application_label = ?3)" \
    " AND (?4 IS NULL OR key_class = ?4) AND (?5 IS NULL OR access_group = ?5) AND (?6 IS NULL OR key_data = ?6)"
constexpr const char* kFindKey =
    "SELECT key_class, key_type, key_size, application_tag, application_label, access_group, token_id,"
    " access_control, key_data FROM keys" SVSDK_KEY_MATCH " ORDER BY rowid LIMIT 1";
constexpr const char* kDeleteKeys = "DELETE FROM keys" SVSDK_KEY_MATCH;
constexpr const char* kInsertKey =
    "INSERT INTO keys (key_class, key_type, key_size, application_tag, application_label, access_group,"
    " token_id, access_control, key_data, created) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10)";
#undef SVSDK_KEY_MATCH

void bindKeyQuery(Statement& s, const KeyQuery& q) {
    s.bind(1, q.keyType);
    s.bind(2, q.applicationTag);
    s.bind(3, q.applicationLabel);
    s.bind(4, q.keyClass ? std::optional<std::string>(keyClassText(*q.keyClass)) : std::nullopt);
    s.bind(5, normalized(q.accessGroup));
    s.bind(6, q.keyData);
}

OSStatus insertKey(Connection& connection, const KeyItem& item) {
    if (item.keyData.empty()) return errSecParam;
    return change(connection, kInsertKey, [&](Statement& s) {
        s.bind(1, keyClassText(item.keyClass));
        s.bind(2, item.keyType);
        s.bind(3, item.keySizeInBits);
        s.bind(4, item.applicationTag);
        s.bind(5, item.applicationLabel);
        s.bind(6, groupColumn(normalized(item.accessGroup)));
        s.bind(7, item.tokenID);
        s.bind(8, item.accessControl);
        s.bind(9, item.keyData);
        s.bind(10, SVDate::now().timeIntervalSince1970);
    });
}

}  // namespace

KeychainStore::KeychainStore(std::string path) : path_(std::move(path)) {}

KeychainStore KeychainStore::current() {
    try {
        return KeychainStore(platform::keychainPath());
    } catch (const SVPlatformError& e) {
        // No usable data folder: every operation fails with errSecParam.
        Logger::error(SVLogCategory::keychain, std::string("Keychain store path: ") + e.what());
        return KeychainStore(std::string());
    }
}

OSStatus KeychainStore::findPassword(const PasswordQuery& query, PasswordItem* result) const {
    return withConnection(path_, [&](Connection& connection) {
        return findFirst(
            connection, kFindPassword, [&](Statement& s) { bindPasswordQuery(s, query); },
            [&](Statement& s) {
                if (!result) return;
                result->service = s.text(0);
                result->account = s.text(1);
                result->accessGroup = groupFromColumn(s.text(2));
                result->value = s.blob(3);
                result->accessible = accessibilityFromText(s.text(4));
            });
    });
}

OSStatus KeychainStore::addPassword(const PasswordQuery& query, const Bytes& value, KeychainAccessibility accessible) {
    return withConnection(path_, [&](Connection& connection) {
        return connection.transaction([&] {
            return change(connection, kAddPassword, [&](Statement& s) {
                s.bind(1, query.service);
                s.bind(2, query.account);
                s.bind(3, groupColumn(normalized(query.accessGroup)));
                s.bind(4, value);
                s.bind(5, accessibilityText(accessible));
                s.bind(6, SVDate::now().timeIntervalSince1970);
            });
        });
    });
}

OSStatus KeychainStore::updatePassword(const PasswordQuery& query, const Bytes& value,
                                       KeychainAccessibility accessible) {
    return withConnection(path_, [&](Connection& connection) {
        return connection.transaction([&] {
            return change(connection, kUpdatePassword, [&](Statement& s) {
                bindPasswordQuery(s, query);
                s.bind(4, value);
                s.bind(5, accessibilityText(accessible));
                s.bind(6, SVDate::now().timeIntervalSince1970);
            });
        });
    });
}

OSStatus KeychainStore::deletePasswords(const PasswordQuery& query) {
    return withConnection(path_, [&](Connection& connection) {
        return connection.transaction([&] {
            return change(connection, kDeletePasswords, [&](Statement& s) { bindPasswordQuery(s, query); });
        });
    });
}

OSStatus KeychainStore::findKey(const KeyQuery& query, KeyItem* result) const {
    return withConnection(path_, [&](Connection& connection) {
        return findFirst(
            connection, kFindKey, [&](Statement& s) { bindKeyQuery(s, query); },
            [&](Statement& s) {
                if (!result) return;
                result->keyClass = s.text(0) == "public" ? KeyClass::publicKey : KeyClass::privateKey;
                result->keyType = s.text(1);
                result->keySizeInBits = s.integer(2);
                result->applicationTag = s.blob(3);
                result->applicationLabel = s.blob(4);
                result->accessGroup = groupFromColumn(s.text(5));
                result->tokenID = s.optionalText(6);
                result->accessControl = s.optionalText(7);
                result->keyData = s.blob(8);
            });
    });
}

OSStatus KeychainStore::addKey(const KeyItem& item) {
    return withConnection(path_, [&](Connection& connection) {
        return connection.transaction([&] { return insertKey(connection, item); });
    });
}

OSStatus KeychainStore::deleteKeys(const KeyQuery& query) {
    return withConnection(path_, [&](Connection& connection) {
        return connection.transaction([&] {
            return change(connection, kDeleteKeys, [&](Statement& s) { bindKeyQuery(s, query); });
        });
    });
}

OSStatus KeychainStore::replaceKeys(const KeyQuery& old, const KeyItem& item, std::size_t* removed) {
    std::size_t deleted = 0;
    OSStatus status = withConnection(path_, [&](Connection& connection) {
        return connection.transaction([&] {
            auto cleared = change(
                connection, kDeleteKeys, [&](Statement& s) { bindKeyQuery(s, old); }, false);
            if (cleared != errSecSuccess) return cleared;
            deleted = static_cast<std::size_t>(sqlite3_changes(connection.db()));
            return insertKey(connection, item);
        });
    });
    if (removed) *removed = status == errSecSuccess ? deleted : 0;
    return status;
}

}  // namespace svsdk
