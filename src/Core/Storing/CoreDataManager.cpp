#include "Core/Storing/CoreDataManager.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <variant>

#include <sqlite3.h>
#include <uriparser/Uri.h>

#include "BuildConstants.h"
#include "Core/Diagnostics/FatalError.h"
#include "Core/Diagnostics/Logger.h"
#include "Platform/PrivateFile.h"

namespace svsdk {
namespace {

// ---- Schema -----------------------------------------------------------------
//
// Version 1: both tables; SVUserEntity without systemName and apiVersion.
// Version 2: SVUserEntity gains systemName and apiVersion.
// Each column records the version that introduced it, so that opening an older
// store adds exactly the columns it lacks.

template <class Entity>
using Member = std::variant<std::optional<std::string> Entity::*, std::optional<std::int64_t> Entity::*,
                            std::optional<Bytes> Entity::*, double Entity::*, bool Entity::*>;

template <class Entity>
struct Column {
    const char* name;
    Member<Entity> member;
    int sinceVersion = 1;
};

// Column types in the order of the alternatives of Member.
template <class Entity>
const char* sqlType(const Member<Entity>& member) {
    static constexpr const char* types[] = {"TEXT", "INTEGER", "BLOB", "REAL", "INTEGER"};
    return types[member.index()];
}

// The column lists are never destroyed, like the shared manager that reads them.
const std::vector<Column<SVUserEntity>>& userColumns() {
    using E = SVUserEntity;
    static const auto* columns = new std::vector<Column<E>>{
        {"apiVersion", &E::apiVersion, 2},
        {"expirationTimestamp", &E::expirationTimestamp},
        {"flags", &E::flags},
        {"interactionURL", &E::interactionURL},
        {"keyAuth", &E::keyAuth},
        {"keyHMAC", &E::keyHMAC},
        {"keyVersion", &E::keyVersion},
        {"name", &E::name},
        {"registeredDeviceToken", &E::registeredDeviceToken},
        {"storageID", &E::storageID},
        {"systemID", &E::systemID},
        {"systemName", &E::systemName, 2},
        {"userID", &E::userID},
    };
    return *columns;
}

const std::vector<Column<SVKeyEntity>>& keyColumns() {
    using E = SVKeyEntity;
    static const auto* columns = new std::vector<Column<E>>{
        {"deviceToken", &E::deviceToken},
        {"encryptingAlgorithm", &E::encryptingAlgorithm},
        {"expirationDateString", &E::expirationDateString},
        {"fingerprint", &E::fingerprint},
        {"hwEncrypted", &E::hwEncrypted},
        {"interactionExternalURL", &E::interactionExternalURL},
        {"keyFlags", &E::keyFlags},
        {"keyID", &E::keyID},
        {"keyName", &E::keyName},
        {"keyType", &E::keyType},
        {"keyValue", &E::keyValue},
        {"onlineConfirmURL", &E::onlineConfirmURL},
        {"privateKey", &E::privateKey},
        {"publicKey", &E::publicKey},
        {"systemID", &E::systemID},
        {"userID", &E::userID},
    };
    return *columns;
}

template <class Entity>
struct Table {
    const char* name;
    const std::vector<Column<Entity>>& columns;
    const char* lookupColumn;  // the attribute by which single entities are found
};

Table<SVUserEntity> userTable() { return {"SVUserEntity", userColumns(), "storageID"}; }
Table<SVKeyEntity> keyTable() { return {"SVKeyEntity", keyColumns(), "keyID"}; }

// ---- SQLite helpers ---------------------------------------------------------

SVPlatformError sqliteError(sqlite3* db, int code) {
    return SVPlatformError("sqlite", code, db ? sqlite3_errmsg(db) : sqlite3_errstr(code));
}

void execute(sqlite3* db, const std::string& sql) {
    int rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) throw sqliteError(db, rc);
}

class Statement {
public:
    Statement(sqlite3* db, const std::string& sql) : db_(db) {
        int rc = sqlite3_prepare_v2(db, sql.c_str(), static_cast<int>(sql.size()), &stmt_, nullptr);
        if (rc != SQLITE_OK) throw sqliteError(db, rc);
    }
    ~Statement() { sqlite3_finalize(stmt_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    sqlite3_stmt* get() const { return stmt_; }
    // True while rows come; false when done.
    bool step() {
        int rc = sqlite3_step(stmt_);
        if (rc == SQLITE_ROW) return true;
        if (rc == SQLITE_DONE) return false;
        throw sqliteError(db_, rc);
    }
    void check(int rc) const {
        if (rc != SQLITE_OK) throw sqliteError(db_, rc);
    }

private:
    sqlite3* db_;
    sqlite3_stmt* stmt_ = nullptr;
};

template <class Entity>
void bindMember(Statement& s, int index, const Entity& entity, const Member<Entity>& member) {
    sqlite3_stmt* stmt = s.get();
    std::visit(
        [&](auto pointer) {
            const auto& value = entity.*pointer;
            using T = std::decay_t<decltype(value)>;
            if constexpr (std::is_same_v<T, double>) {
                s.check(sqlite3_bind_double(stmt, index, value));
            } else if constexpr (std::is_same_v<T, bool>) {
                s.check(sqlite3_bind_int64(stmt, index, value ? 1 : 0));
            } else if (!value) {
                s.check(sqlite3_bind_null(stmt, index));
            } else if constexpr (std::is_same_v<T, std::optional<std::string>>) {
                s.check(sqlite3_bind_text64(stmt, index, value->data(), value->size(), SQLITE_TRANSIENT,
                                            SQLITE_UTF8));
            } else if constexpr (std::is_same_v<T, std::optional<std::int64_t>>) {
                s.check(sqlite3_bind_int64(stmt, index, *value));
            } else if (value->empty()) {
                // A null pointer would bind NULL; empty bytes stay empty bytes.
                s.check(sqlite3_bind_zeroblob(stmt, index, 0));
            } else {
                s.check(sqlite3_bind_blob64(stmt, index, value->data(), value->size(), SQLITE_TRANSIENT));
            }
        },
        member);
}

template <class Entity>
void readMember(sqlite3_stmt* stmt, int index, Entity& entity, const Member<Entity>& member) {
    bool isNull = sqlite3_column_type(stmt, index) == SQLITE_NULL;
    std::visit(
        [&](auto pointer) {
            auto& value = entity.*pointer;
            using T = std::decay_t<decltype(value)>;
            if constexpr (std::is_same_v<T, double>) {
                value = isNull ? 0.0 : sqlite3_column_double(stmt, index);
            } else if constexpr (std::is_same_v<T, bool>) {
                value = !isNull && sqlite3_column_int64(stmt, index) != 0;
            } else if (isNull) {
                value.reset();
            } else if constexpr (std::is_same_v<T, std::optional<std::string>>) {
                auto text = reinterpret_cast<const char*>(sqlite3_column_text(stmt, index));
                value.emplace(text ? text : "", static_cast<std::size_t>(sqlite3_column_bytes(stmt, index)));
            } else if constexpr (std::is_same_v<T, std::optional<std::int64_t>>) {
                value = sqlite3_column_int64(stmt, index);
            } else {
                auto data = static_cast<const std::uint8_t*>(sqlite3_column_blob(stmt, index));
                auto size = static_cast<std::size_t>(sqlite3_column_bytes(stmt, index));
                value.emplace(data, data + (data ? size : 0));
            }
        },
        member);
}

template <class Entity>
std::string columnList(const Table<Entity>& table) {
    std::string list;
    for (const auto& column : table.columns) {
        if (!list.empty()) list += ", ";
        list += column.name;
    }
    return list;
}

template <class Entity>
std::vector<Entity> fetch(sqlite3* db, const Table<Entity>& table, const std::string* lookup) {
    std::string sql = "SELECT id, " + columnList(table) + " FROM " + table.name;
    if (lookup) sql += std::string(" WHERE ") + table.lookupColumn + " = ?1";
    sql += " ORDER BY id";
    if (lookup) sql += " LIMIT 1";
    Statement statement(db, sql);
    if (lookup)
        statement.check(sqlite3_bind_text64(statement.get(), 1, lookup->data(), lookup->size(), SQLITE_TRANSIENT,
                                             SQLITE_UTF8));
    std::vector<Entity> result;
    while (statement.step()) {
        Entity entity;
        entity.objectID = sqlite3_column_int64(statement.get(), 0);
        int index = 1;
        for (const auto& column : table.columns) readMember(statement.get(), index++, entity, column.member);
        result.push_back(std::move(entity));
    }
    return result;
}

// Without a store (a null connection) there is nothing to fetch.
template <class Entity>
std::vector<Entity> fetchAll(sqlite3* db, const Table<Entity>& table) {
    return db ? fetch(db, table, nullptr) : std::vector<Entity>{};
}

template <class Entity>
std::optional<Entity> fetchFirst(sqlite3* db, const Table<Entity>& table, const std::string& lookup) {
    if (!db) return std::nullopt;
    auto found = fetch(db, table, &lookup);
    if (found.empty()) return std::nullopt;
    return std::move(found.front());
}

template <class Entity>
void insertRow(sqlite3* db, const Table<Entity>& table, Entity& entity) {
    std::string placeholders;
    for (std::size_t i = 1; i <= table.columns.size(); ++i)
        placeholders += (i > 1 ? ", ?" : "?") + std::to_string(i);
    Statement statement(db, std::string("INSERT INTO ") + table.name + " (" + columnList(table) + ") VALUES (" +
                                placeholders + ")");
    int index = 1;
    for (const auto& column : table.columns) bindMember(statement, index++, entity, column.member);
    statement.step();
    entity.objectID = sqlite3_last_insert_rowid(db);
}

template <class Entity>
void updateRow(sqlite3* db, const Table<Entity>& table, const Entity& entity) {
    if (!entity.objectID)
        throw SVPlatformError("store", CoreDataManager::missingObject,
                              std::string("The ") + table.name + " was never inserted");
    std::string assignments;
    int index = 1;
    for (const auto& column : table.columns) {
        if (index > 1) assignments += ", ";
        assignments += std::string(column.name) + " = ?" + std::to_string(index++);
    }
    Statement statement(db, std::string("UPDATE ") + table.name + " SET " + assignments +
                                " WHERE id = ?" + std::to_string(index));
    index = 1;
    for (const auto& column : table.columns) bindMember(statement, index++, entity, column.member);
    statement.check(sqlite3_bind_int64(statement.get(), index, *entity.objectID));
    statement.step();
    if (sqlite3_changes(db) == 0)
        throw SVPlatformError("store", CoreDataManager::missingObject,
                              std::string("The ") + table.name + " is no longer in the store");
}

template <class Entity>
void deleteRow(sqlite3* db, const Table<Entity>& table, const Entity& entity) {
    if (!entity.objectID) return;
    Statement statement(db, std::string("DELETE FROM ") + table.name + " WHERE id = ?1");
    statement.check(sqlite3_bind_int64(statement.get(), 1, *entity.objectID));
    statement.step();
}

// Creates the tables of a new store, or adds what an older one lacks.
template <class Entity>
void prepareTable(sqlite3* db, const Table<Entity>& table, int storedVersion) {
    if (storedVersion == 0) {
        std::string sql = std::string("CREATE TABLE IF NOT EXISTS ") + table.name + " (id INTEGER PRIMARY KEY";
        for (const auto& column : table.columns) sql += std::string(", ") + column.name + " " + sqlType(column.member);
        execute(db, sql + ")");
    } else {
        for (const auto& column : table.columns)
            if (column.sinceVersion > storedVersion)
                execute(db, std::string("ALTER TABLE ") + table.name + " ADD COLUMN " + column.name + " " +
                                sqlType(column.member));
    }
    execute(db, std::string("CREATE INDEX IF NOT EXISTS ") + table.name + "_" + table.lookupColumn + " ON " +
                    table.name + " (" + table.lookupColumn + ")");
}

int userVersion(sqlite3* db) {
    Statement statement(db, "PRAGMA user_version");
    return statement.step() ? sqlite3_column_int(statement.get(), 0) : 0;
}

// Opens the file (created 0600 when missing) in WAL mode with full
// synchronisation and brings its schema up to the current version.
sqlite3* openDatabase(const std::string& path) {
    platform::makePrivateFile(path, false);

    sqlite3* db = nullptr;
    int rc = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr);
    if (rc != SQLITE_OK) {
        SVPlatformError error = sqliteError(db, rc);
        sqlite3_close(db);
        throw error;
    }
    try {
        sqlite3_busy_timeout(db, 10000);
        execute(db, "PRAGMA journal_mode = WAL");
        execute(db, "PRAGMA synchronous = FULL");
        // Deleted rows held wrapped keys: overwrite them rather than leave them in free pages.
        execute(db, "PRAGMA secure_delete = ON");
        execute(db, "BEGIN IMMEDIATE");
        try {
            int stored = userVersion(db);
            if (stored > CoreDataManager::schemaVersion)
                throw SVPlatformError("store", CoreDataManager::incompatibleStore,
                                      "The store was written with a newer schema (version " + std::to_string(stored) +
                                          ") than this SDK knows (version " +
                                          std::to_string(CoreDataManager::schemaVersion) + ")");
            if (stored < CoreDataManager::schemaVersion) {
                prepareTable(db, userTable(), stored);
                prepareTable(db, keyTable(), stored);
                execute(db, "PRAGMA user_version = " + std::to_string(CoreDataManager::schemaVersion));
            }
            execute(db, "COMMIT");
        } catch (...) {
            sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
            throw;
        }
    } catch (...) {
        sqlite3_close(db);
        throw;
    }
    return db;
}

// The absolute URL text of a file path ("file:///..."), for the log.
std::string fileURLText(const std::string& path) {
    std::string buffer(7 + 3 * path.size() + 1, '\0');
    if (uriUnixFilenameToUriStringA(path.c_str(), buffer.data()) != URI_SUCCESS) return path;
    buffer.resize(std::strlen(buffer.c_str()));
    return buffer;
}

// Operations a thread is inside of, to recognise a nested one.
thread_local std::vector<const CoreDataManager*> heldManagers;

struct HoldMark {
    explicit HoldMark(const CoreDataManager* manager) { heldManagers.push_back(manager); }
    ~HoldMark() { heldManagers.pop_back(); }
};

// Whether the entity's row holds other wrapped keys than the entity.
bool replacesKeys(sqlite3* db, const SVUserEntity& entity) {
    if (!entity.objectID) return false;
    Statement statement(db, "SELECT keyAuth IS ?1 AND keyHMAC IS ?2 FROM SVUserEntity WHERE id = ?3");
    bindMember<SVUserEntity>(statement, 1, entity, &SVUserEntity::keyAuth);
    bindMember<SVUserEntity>(statement, 2, entity, &SVUserEntity::keyHMAC);
    statement.check(sqlite3_bind_int64(statement.get(), 3, *entity.objectID));
    return statement.step() && sqlite3_column_int(statement.get(), 0) == 0;
}

// Rolls back whatever of the transaction is still open; failures are moot.
void rollBack(sqlite3* db, const std::string& savepoint) {
    if (sqlite3_get_autocommit(db)) return;  // SQLite already rolled back
    if (savepoint.empty()) {
        sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
    } else {
        sqlite3_exec(db, ("ROLLBACK TO " + savepoint).c_str(), nullptr, nullptr, nullptr);
        sqlite3_exec(db, ("RELEASE " + savepoint).c_str(), nullptr, nullptr, nullptr);
    }
}

}  // namespace

// ---- StoreContext -------------------------------------------------------------

void StoreContext::requireStore() const {
    if (!db_) {
        if (failure_) throw *failure_;
        throw SVPlatformError("store", CoreDataManager::noStore, "There is no persistent store");
    }
    // After an error that made SQLite roll the transaction back, a write would
    // run outside any transaction and be kept alone: refuse it.
    if (sqlite3_get_autocommit(db_))
        throw SVPlatformError("sqlite", SQLITE_ABORT, "The operation's transaction was rolled back by an earlier error");
}

std::vector<SVUserEntity> StoreContext::fetchUserEntities() const { return fetchAll(db_, userTable()); }

std::optional<SVUserEntity> StoreContext::fetchUserEntity(const std::string& storageID) const {
    return fetchFirst(db_, userTable(), storageID);
}

void StoreContext::insert(SVUserEntity& entity) {
    requireStore();
    insertRow(db_, userTable(), entity);
}

void StoreContext::update(const SVUserEntity& entity) {
    requireStore();
    if (!*scrub_ && replacesKeys(db_, entity)) *scrub_ = true;
    updateRow(db_, userTable(), entity);
}

void StoreContext::remove(const SVUserEntity& entity) {
    requireStore();
    *scrub_ = true;
    deleteRow(db_, userTable(), entity);
}

std::vector<SVKeyEntity> StoreContext::fetchKeyEntities() const { return fetchAll(db_, keyTable()); }

std::optional<SVKeyEntity> StoreContext::fetchKeyEntity(const std::string& keyID) const {
    return fetchFirst(db_, keyTable(), keyID);
}

void StoreContext::remove(const SVKeyEntity& entity) {
    requireStore();
    *scrub_ = true;
    deleteRow(db_, keyTable(), entity);
}

// ---- CoreDataManager ----------------------------------------------------------

CoreDataManager& CoreDataManager::shared() {
    // Never destroyed: storage work may still run while the process exits.
    static CoreDataManager* manager =
        new CoreDataManager(Info{build::kDatabaseResourceName, build::kModelResourceName});
    return *manager;
}

CoreDataManager::CoreDataManager(Info info) : info_(std::move(info)) {}

CoreDataManager::~CoreDataManager() {
    if (db_) sqlite3_close(db_);
}

std::optional<std::string> CoreDataManager::databaseURL() const {
    std::lock_guard guard(urlLock_);
    return databaseURL_;
}

void CoreDataManager::setDatabaseURL(std::optional<std::string> path) {
    std::lock_guard guard(urlLock_);
    databaseURL_ = std::move(path);
}

const std::string& CoreDataManager::databaseResourceName() {
    std::call_once(databaseResourceNameOnce_, [this] {
        if (!info_.databaseResourceName) fatalError("Database Resource Name key is missing in the plist file");
        databaseResourceName_ = *info_.databaseResourceName;
    });
    return databaseResourceName_;
}

const std::optional<std::string>& CoreDataManager::modelResourceName() {
    std::call_once(modelResourceNameOnce_, [this] { modelResourceName_ = info_.modelResourceName; });
    return modelResourceName_;
}

// The model is compiled into the SDK under the build's model name; any other
// name names a resource that does not exist.
bool CoreDataManager::loadModel() {
    Logger::log(SVLogCategory::storage, "Looking for the Managed Object Model file");
    const auto& name = modelResourceName();
    return name && *name == build::kModelResourceName;
}

void CoreDataManager::openStoreOnce() {
    if (opened_) return;
    opened_ = true;
    Logger::log(SVLogCategory::storage, "Making the Managed Object Context");
    Logger::log(SVLogCategory::storage, "Making the Persistent Store Coordinator");
    if (!loadModel()) {
        Logger::error(SVLogCategory::storage, "Unable to load managed object model");
        failure_.emplace("store", noStore, "Unable to load managed object model");
        return;
    }
    auto path = databaseURL();
    if (!path) {
        Logger::error(SVLogCategory::storage, "Could not create persistent store. Database URL not set");
        failure_.emplace("store", noStore, "Could not create persistent store. Database URL not set");
        return;
    }
    Logger::log(SVLogCategory::storage, [&] { return "Using persistent store at " + fileURLText(*path); });
    try {
        db_ = openDatabase(*path);
    } catch (const SVPlatformError& error) {
        Logger::error(SVLogCategory::storage, error.message());
        failure_ = error;
    }
}

bool CoreDataManager::heldByThisThread() const {
    return std::find(heldManagers.begin(), heldManagers.end(), this) != heldManagers.end();
}

void CoreDataManager::run(const std::function<void(StoreContext&)>& body) {
    if (heldByThisThread()) {
        // Nested in an operation of this thread, which holds the lock.
        StoreContext context(db_, failure_ ? &*failure_ : nullptr, &scrub_);
        if (!db_) return body(context);
        context.requireStore();
        std::string savepoint = "nested" + std::to_string(++savepoints_);
        struct Count {
            int& n;
            ~Count() { --n; }
        } count{savepoints_};
        execute(db_, "SAVEPOINT " + savepoint);
        try {
            body(context);
        } catch (...) {
            rollBack(db_, savepoint);
            throw;
        }
        execute(db_, "RELEASE " + savepoint);
        return;
    }

    std::lock_guard guard(lock_);
    HoldMark mark(this);
    openStoreOnce();
    StoreContext context(db_, failure_ ? &*failure_ : nullptr, &scrub_);
    if (!db_) return body(context);
    const bool scrubBefore = scrub_;
    execute(db_, "BEGIN IMMEDIATE");
    try {
        body(context);
    } catch (...) {
        rollBack(db_, {});
        scrub_ = scrubBefore;
        throw;
    }
    int rc = sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) {
        SVPlatformError error = sqliteError(db_, rc);
        rollBack(db_, {});
        scrub_ = scrubBefore;
        throw error;
    }
    // secure_delete clears the database's pages, not the WAL frames that
    // still hold the rows a write replaced or deleted (wrapped keys among
    // them): after such a write, copy the WAL into the database and truncate
    // it. A write that only adds or changes other data leaves nothing old
    // behind and commits alone.
    if (scrub_) {
        rc = sqlite3_wal_checkpoint_v2(db_, nullptr, SQLITE_CHECKPOINT_TRUNCATE, nullptr, nullptr);
        // The write is committed either way; the next operation checkpoints again.
        if (rc == SQLITE_OK)
            scrub_ = false;
        else
            Logger::error(SVLogCategory::storage, "Could not checkpoint the store: " + sqliteError(db_, rc).message());
    }
}

}  // namespace svsdk
