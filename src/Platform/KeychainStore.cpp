#include "Platform/KeychainStore.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include <svsdk/SVDate.h>
#include <svsdk/SVError.h>

#include "Core/Logger.h"
#include "Platform/PlatformConfiguration.h"

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

// One connection, opened for one operation.
class Connection {
public:
    ~Connection() {
        if (db_) sqlite3_close_v2(db_);
    }

    // errSecSuccess when the store is open and its schema in place.
    OSStatus open(const std::string& path) {
        if (path.empty()) return errSecParam;
        if (auto status = prepareFile(path); status != errSecSuccess) return status;
        int rc = sqlite3_open_v2(path.c_str(), &db_,
                                 SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOFOLLOW, nullptr);
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

    sqlite3* db() const { return db_; }

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
    template <class F>
    OSStatus transaction(F&& body) {
        if (auto status = exec("BEGIN IMMEDIATE"); status != errSecSuccess) return status;
        OSStatus status = body();
        if (status == errSecSuccess) status = exec("COMMIT");
        if (status != errSecSuccess) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        return status;
    }

private:
    static OSStatus prepareFile(const std::string& path) {
        auto slash = path.find_last_of('/');
        if (slash != std::string::npos && slash > 0) {
            try {
                platform::makeDirectory(path.substr(0, slash));
            } catch (const SVPlatformError& e) {
                Logger::error(SVLogCategory::keychain, std::string("Keychain store folder: ") + e.what());
                return errSecIO;
            }
        }
        // Create the file 0600 before SQLite opens it; its -wal and -shm
        // files take the same mode.
        int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd < 0) {
            int error = errno;
            Logger::log(
                SVLogCategory::keychain,
                [&] { return "Keychain store cannot be opened: " + std::string(std::strerror(error)); },
                SVLogType::error);
            return errSecIO;
        }
        struct stat info {};
        OSStatus status = errSecSuccess;
        if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
            status = errSecIO;
        } else if ((info.st_mode & 07777) != 0600 && ::fchmod(fd, 0600) != 0) {
            status = errSecIO;
        }
        ::close(fd);
        return status;
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
};

class Statement {
public:
    Statement(Connection& connection, const char* sql) : connection_(connection) {
        rc_ = sqlite3_prepare_v2(connection.db(), sql, -1, &stmt_, nullptr);
    }
    ~Statement() { sqlite3_finalize(stmt_); }
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
    sqlite3_stmt* stmt_ = nullptr;
    int rc_ = SQLITE_OK;
};

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

constexpr const char* kPasswordMatch =
    " WHERE service = ?1 AND account = ?2 AND (?3 IS NULL OR access_group = ?3)";

void bindPasswordQuery(Statement& s, const PasswordQuery& q) {
    s.bind(1, q.service);
    s.bind(2, q.account);
    s.bind(3, normalized(q.accessGroup));
}

constexpr const char* kKeyMatch =
    " WHERE key_type = ?1 AND application_tag = ?2 AND (?3 IS NULL OR application_label = ?3)"
    " AND (?4 IS NULL OR key_class = ?4) AND (?5 IS NULL OR access_group = ?5)";

void bindKeyQuery(Statement& s, const KeyQuery& q) {
    s.bind(1, q.keyType);
    s.bind(2, q.applicationTag);
    s.bind(3, q.applicationLabel);
    s.bind(4, q.keyClass ? std::optional<std::string>(keyClassText(*q.keyClass)) : std::nullopt);
    s.bind(5, normalized(q.accessGroup));
}

OSStatus insertKey(Connection& connection, const KeyItem& item) {
    if (item.keyData.empty()) return errSecParam;
    return change(
        connection,
        "INSERT INTO keys (key_class, key_type, key_size, application_tag, application_label, access_group,"
        " token_id, access_control, key_data, created) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10)",
        [&](Statement& s) {
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
    Connection connection;
    if (auto status = connection.open(path_); status != errSecSuccess) return status;
    Statement s(connection,
                (std::string("SELECT service, account, access_group, value, accessible FROM generic_passwords") +
                 kPasswordMatch + " ORDER BY rowid LIMIT 1")
                    .c_str());
    if (!s.ok()) return s.failure();
    bindPasswordQuery(s, query);
    int rc = s.step();
    if (rc == SQLITE_DONE) return errSecItemNotFound;
    if (rc != SQLITE_ROW) return s.failure();
    if (result) {
        result->service = s.text(0);
        result->account = s.text(1);
        result->accessGroup = groupFromColumn(s.text(2));
        result->value = s.blob(3);
        result->accessible = accessibilityFromText(s.text(4));
    }
    return errSecSuccess;
}

OSStatus KeychainStore::addPassword(const PasswordQuery& query, const Bytes& value, KeychainAccessibility accessible) {
    Connection connection;
    if (auto status = connection.open(path_); status != errSecSuccess) return status;
    return connection.transaction([&] {
        return change(connection,
                      "INSERT INTO generic_passwords (service, account, access_group, value, accessible, created,"
                      " modified) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?6)",
                      [&](Statement& s) {
                          s.bind(1, query.service);
                          s.bind(2, query.account);
                          s.bind(3, groupColumn(normalized(query.accessGroup)));
                          s.bind(4, value);
                          s.bind(5, accessibilityText(accessible));
                          s.bind(6, SVDate::now().timeIntervalSince1970);
                      });
    });
}

OSStatus KeychainStore::updatePassword(const PasswordQuery& query, const Bytes& value,
                                       KeychainAccessibility accessible) {
    Connection connection;
    if (auto status = connection.open(path_); status != errSecSuccess) return status;
    return connection.transaction([&] {
        return change(connection,
                      (std::string("UPDATE generic_passwords SET value = ?4, accessible = ?5, modified = ?6") +
                       kPasswordMatch)
                          .c_str(),
                      [&](Statement& s) {
                          bindPasswordQuery(s, query);
                          s.bind(4, value);
                          s.bind(5, accessibilityText(accessible));
                          s.bind(6, SVDate::now().timeIntervalSince1970);
                      });
    });
}

OSStatus KeychainStore::deletePasswords(const PasswordQuery& query) {
    Connection connection;
    if (auto status = connection.open(path_); status != errSecSuccess) return status;
    return connection.transaction([&] {
        return change(connection, (std::string("DELETE FROM generic_passwords") + kPasswordMatch).c_str(),
                      [&](Statement& s) { bindPasswordQuery(s, query); });
    });
}

OSStatus KeychainStore::findKey(const KeyQuery& query, KeyItem* result) const {
    Connection connection;
    if (auto status = connection.open(path_); status != errSecSuccess) return status;
    Statement s(connection,
                (std::string("SELECT key_class, key_type, key_size, application_tag, application_label,"
                             " access_group, token_id, access_control, key_data FROM keys") +
                 kKeyMatch + " ORDER BY rowid LIMIT 1")
                    .c_str());
    if (!s.ok()) return s.failure();
    bindKeyQuery(s, query);
    int rc = s.step();
    if (rc == SQLITE_DONE) return errSecItemNotFound;
    if (rc != SQLITE_ROW) return s.failure();
    if (result) {
        result->keyClass = s.text(0) == "public" ? KeyClass::publicKey : KeyClass::privateKey;
        result->keyType = s.text(1);
        result->keySizeInBits = s.integer(2);
        result->applicationTag = s.blob(3);
        result->applicationLabel = s.blob(4);
        result->accessGroup = groupFromColumn(s.text(5));
        result->tokenID = s.optionalText(6);
        result->accessControl = s.optionalText(7);
        result->keyData = s.blob(8);
    }
    return errSecSuccess;
}

OSStatus KeychainStore::addKey(const KeyItem& item) {
    Connection connection;
    if (auto status = connection.open(path_); status != errSecSuccess) return status;
    return connection.transaction([&] { return insertKey(connection, item); });
}

OSStatus KeychainStore::deleteKeys(const KeyQuery& query) {
    Connection connection;
    if (auto status = connection.open(path_); status != errSecSuccess) return status;
    return connection.transaction([&] {
        return change(connection, (std::string("DELETE FROM keys") + kKeyMatch).c_str(),
                      [&](Statement& s) { bindKeyQuery(s, query); });
    });
}

OSStatus KeychainStore::replaceKeys(const KeyQuery& old, const KeyItem& item) {
    Connection connection;
    if (auto status = connection.open(path_); status != errSecSuccess) return status;
    return connection.transaction([&] {
        auto removed = change(
            connection, (std::string("DELETE FROM keys") + kKeyMatch).c_str(),
            [&](Statement& s) { bindKeyQuery(s, old); }, false);
        if (removed != errSecSuccess) return removed;
        return insertKey(connection, item);
    });
}

}  // namespace svsdk
