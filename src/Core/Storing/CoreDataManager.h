#pragma once
// The SDK's persistent store: one SQLite file at `databaseURL` with the tables
// "SVUserEntity" and "SVKeyEntity", reached through one connection under one
// lock. All storage work runs inside `performTransaction`:
//
//   CoreDataManager::shared().performTransaction([&](StoreContext& context) {
//       auto entity = context.fetchUserEntity(storageID);
//       ...
//       context.update(*entity);
//   });
//
// The body runs in an immediate (write-locked) transaction, committed when the
// body returns and rolled back when it throws, so an operation's changes are
// kept all together or not at all. The store is opened at the first operation
// and kept; when it cannot be opened (no model, no database URL, a file that
// does not open or was written by a newer SDK) the failure is logged once and
// never retried, fetches give nothing and every write throws.
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include <svsdk/SVError.h>

#include "Core/Storing/StoreEntities.h"

struct sqlite3;

namespace svsdk {

// The store as one operation sees it. Valid only inside the body of
// `CoreDataManager::performTransaction`.
//
// Errors: SQLite failures throw SVPlatformError of domain "sqlite" (the SQLite
// result code and message). Without a store, every write and `requireStore`
// throw the error that kept the store from opening: domain "store" with
// `CoreDataManager::noStore` (no model, no database URL) or
// `CoreDataManager::incompatibleStore`, or the "sqlite"/"posix" error of the
// failed open.
class StoreContext {
public:
    StoreContext(const StoreContext&) = delete;
    StoreContext& operator=(const StoreContext&) = delete;

    bool hasStore() const noexcept { return db_ != nullptr; }

    // Every user entity, in the order they were inserted.
    std::vector<SVUserEntity> fetchUserEntities() const;
    // The first user entity whose storageID equals the given one.
    std::optional<SVUserEntity> fetchUserEntity(const std::string& storageID) const;
    // Adds a new row and sets `entity.objectID` to it.
    void insert(SVUserEntity& entity);
    // Writes every attribute of the entity to its row (unset ones as NULL).
    // Throws domain "store" `CoreDataManager::missingObject` when the entity
    // has no objectID or its row is gone.
    void update(const SVUserEntity& entity);
    // Deletes the entity's row; an entity without a row, or one already
    // deleted, is no change.
    void remove(const SVUserEntity& entity);
    // (An update that changes a row's wrapped keys, keyAuth or keyHMAC, and
    // every removal make the operation checkpoint the WAL when it commits:
    // see CoreDataManager::performTransaction.)

    // Every key entity, in the order they were inserted.
    std::vector<SVKeyEntity> fetchKeyEntities() const;
    // The first key entity whose keyID equals the given one.
    std::optional<SVKeyEntity> fetchKeyEntity(const std::string& keyID) const;
    void remove(const SVKeyEntity& entity);

    // Throws what a write would throw: the store's error when there is no
    // store, or an abort once SQLite has rolled the operation back. Every
    // write checks it; an operation that saves without writing calls it (the
    // changes are committed when the body returns).
    void requireStore() const;

private:
    friend class CoreDataManager;
    StoreContext(sqlite3* db, const SVPlatformError* failure, bool* scrub)
        : db_(db), failure_(failure), scrub_(scrub) {}

    sqlite3* db_;
    const SVPlatformError* failure_;
    bool* scrub_;
};

class CoreDataManager {
public:
    // Values the SDK's build provides (the bundle's "Database Resource Name"
    // and "Model Resource Name").
    struct Info {
        std::optional<std::string> databaseResourceName;
        std::optional<std::string> modelResourceName;
    };

    // Codes of the domain "store".
    static constexpr int noStore = 1;            // no model or no database URL
    static constexpr int incompatibleStore = 2;  // written by a newer SDK
    static constexpr int missingObject = 3;      // update of a row that is not there

    // The schema version of this SDK, kept in PRAGMA user_version. An older
    // store is brought up to it when opened.
    static constexpr int schemaVersion = 2;

    // The SDK's one store manager, with the build's values; never destroyed.
    static CoreDataManager& shared();

    // A manager of its own (tests, tools); closes its store when destroyed.
    explicit CoreDataManager(Info info);
    ~CoreDataManager();
    CoreDataManager(const CoreDataManager&) = delete;
    CoreDataManager& operator=(const CoreDataManager&) = delete;

    // Path of the SQLite file; set once at initialisation, before the first
    // operation. A later change does not reach a store already opened.
    std::optional<std::string> databaseURL() const;
    void setDatabaseURL(std::optional<std::string> path);

    // "Database Resource Name"; its absence stops the process (a packaging
    // error). Made on first use and kept.
    const std::string& databaseResourceName();
    // "Model Resource Name"; absent when not given. Made on first use.
    const std::optional<std::string>& modelResourceName();

    // Runs `body` with the store's context in a transaction and returns what
    // it returns. The changes are committed when it returns and rolled back
    // when it throws; the exception is passed on. A commit that fails throws
    // (SVPlatformError) after rolling back. Operations of all threads take
    // turns; an operation started inside another on the same thread joins it
    // as a nested step (its own changes are undone when it throws, and kept
    // with the outer operation otherwise). Without a store the body runs with
    // a context that fetches nothing. After an operation that removed a row
    // or replaced a user's wrapped keys the WAL is checkpointed into the
    // database and truncated, so no key material it replaced or deleted is
    // left in the WAL file (a checkpoint that fails is tried again after the
    // next operation). Other operations commit without a checkpoint.
    template <class Body>
    auto performTransaction(Body&& body) -> std::invoke_result_t<Body&, StoreContext&> {
        using Result = std::invoke_result_t<Body&, StoreContext&>;
        if constexpr (std::is_void_v<Result>) {
            run([&](StoreContext& context) { body(context); });
        } else {
            std::optional<Result> result;
            run([&](StoreContext& context) { result.emplace(body(context)); });
            return std::move(*result);
        }
    }

private:
    void run(const std::function<void(StoreContext&)>& body);
    bool heldByThisThread() const;
    void openStoreOnce();
    bool loadModel();

    Info info_;
    std::once_flag databaseResourceNameOnce_;
    std::once_flag modelResourceNameOnce_;
    std::string databaseResourceName_;
    std::optional<std::string> modelResourceName_;

    mutable std::mutex urlLock_;
    std::optional<std::string> databaseURL_;

    std::mutex lock_;  // the connection and every field below
    bool opened_ = false;
    sqlite3* db_ = nullptr;
    std::optional<SVPlatformError> failure_;
    int savepoints_ = 0;
    bool scrub_ = false;  // the WAL holds (or will, once committed) replaced key material
};

}  // namespace svsdk
