// Local storage: storing one user beside its floor measured in the same run
// (one SQLite insert and commit of the same row bytes, with the store's
// pragmas, on the same file system), and listing 10, 100 and 1,000 stored
// users, all in wall time. Storing a user also derives the password's KEK
// (PBKDF2, 2000 rounds), wraps both keys with ECIES and reads the device key
// from the key store; a second floor adds that key work (all but the key
// store's read) to the commit. Prints the store's ratios to both floors and
// the listing's growth at the end (linear growth: about 10 for each tenfold).
//
// Run: scripts/bench, or build/bench/storage_bench.
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <string>

#include "BuildConstants.h"
#include "Core/Security/Cryptor.h"
#include "Core/Security/HandlesManager.h"
#include "Core/Security/SecureEnclave.h"
#include "Core/Storing/StorageManager.h"
#include "BenchSupport.h"

using namespace svsdk;

namespace {

Bytes filled(std::size_t count, std::uint8_t value) { return Bytes(count, value); }

SVUser benchUser(int index) {
    return SVUser("bench-user-" + std::to_string(index), "system-1", SVUserOptions{}, "https://signing.example.org/api",
                  std::nullopt, std::nullopt, std::int64_t{3}, std::string("Signing system"), {}, 180, 180,
                  "storage-" + std::to_string(index), 3,
                  UserKeysContent::importedDecrypted(filled(32, 1), filled(32, 2)), 1900000000);
}

std::unique_ptr<CoreDataManager> openStore(const std::string& path) {
    auto store = std::make_unique<CoreDataManager>(
        CoreDataManager::Info{build::kDatabaseResourceName, build::kModelResourceName});
    store->setDatabaseURL(path);
    store->performTransaction([](StoreContext&) {});
    return store;
}

void check(int rc, sqlite3* db) {
    if (rc != SQLITE_OK && rc != SQLITE_DONE && rc != SQLITE_ROW) {
        std::fprintf(stderr, "sqlite: %s\n", sqlite3_errmsg(db));
        std::abort();
    }
}

// The floor: a bare connection with the store's pragmas inserting the bytes
// of one stored row in one transaction.
class FloorStore {
public:
    FloorStore(const std::string& path, const SVUserEntity& row) : row_(row) {
        openStore(path);  // the same schema
        check(sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE, nullptr), db_);
        for (const char* pragma :
             {"PRAGMA journal_mode = WAL", "PRAGMA synchronous = FULL", "PRAGMA secure_delete = ON"})
            check(sqlite3_exec(db_, pragma, nullptr, nullptr, nullptr), db_);
        check(sqlite3_prepare_v2(db_,
                                 "INSERT INTO SVUserEntity (apiVersion, expirationTimestamp, flags, interactionURL, "
                                 "keyAuth, keyHMAC, keyVersion, name, registeredDeviceToken, storageID, systemID, "
                                 "systemName, userID) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13)",
                                 -1, &insert_, nullptr),
              db_);
    }
    ~FloorStore() {
        sqlite3_finalize(insert_);
        sqlite3_close(db_);
    }

    void insertOne(int index) {
        std::string storageID = "floor-" + std::to_string(index);
        auto text = [&](int column, const std::string& value) {
            sqlite3_bind_text(insert_, column, value.data(), static_cast<int>(value.size()), SQLITE_TRANSIENT);
        };
        auto blob = [&](int column, const Bytes& value) {
            sqlite3_bind_blob(insert_, column, value.data(), static_cast<int>(value.size()), SQLITE_TRANSIENT);
        };
        check(sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), db_);
        sqlite3_bind_int64(insert_, 1, *row_.apiVersion);
        sqlite3_bind_double(insert_, 2, row_.expirationTimestamp);
        sqlite3_bind_int64(insert_, 3, *row_.flags);
        text(4, *row_.interactionURL);
        blob(5, *row_.keyAuth);
        blob(6, *row_.keyHMAC);
        sqlite3_bind_int64(insert_, 7, *row_.keyVersion);
        text(8, *row_.name);
        sqlite3_bind_null(insert_, 9);
        text(10, storageID);
        text(11, *row_.systemID);
        text(12, *row_.systemName);
        text(13, *row_.userID);
        check(sqlite3_step(insert_), db_);
        sqlite3_reset(insert_);
        check(sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr), db_);
    }

private:
    SVUserEntity row_;
    sqlite3* db_ = nullptr;
    sqlite3_stmt* insert_ = nullptr;
};

struct Fixture {
    // Beside the build rather than in /tmp, which may be a RAM file system.
    bench::BenchPlatform platform{std::filesystem::current_path().string()};
    std::unique_ptr<CoreDataManager> store;
    std::unique_ptr<StorageManager> storage;
    std::unique_ptr<FloorStore> floor;
    std::map<int, std::unique_ptr<CoreDataManager>> listingStores;
    std::map<int, std::unique_ptr<StorageManager>> listings;
    int next = 0;

    Fixture() {
        SecureEnclave::local().checkLocalKeyPair();
        store = openStore(platform.dir + "/users.sqlite");
        storage = std::make_unique<StorageManager>(*store);
        // One real store gives the row bytes of the floor.
        SVUser user = benchUser(next++);
        activate(user);
        storage->store(user, std::string("Main account"), std::string("Bench-Pass-1"));
        floor = std::make_unique<FloorStore>(platform.dir + "/floor.sqlite", *storage->userEntity(user));

        for (int count : {10, 100, 1000}) {
            auto listingStore = openStore(platform.dir + "/list-" + std::to_string(count) + ".sqlite");
            SVUserEntity row = *storage->userEntity(user);
            listingStore->performTransaction([&](StoreContext& context) {
                for (int i = 0; i < count; ++i) {
                    SVUserEntity copy = row;
                    copy.objectID.reset();
                    copy.storageID = "listed-" + std::to_string(i);
                    context.insert(copy);
                }
            });
            listings[count] = std::make_unique<StorageManager>(*listingStore);
            listingStores[count] = std::move(listingStore);
        }
    }

    static void activate(const SVUser& user) {
        HandlesManager::shared().add(filled(32, 1), HandleType::auth, user);
        HandlesManager::shared().add(filled(32, 2), HandleType::hmac, user);
    }
};

Fixture* fixture = nullptr;

void StoreUser(benchmark::State& state) {
    for (auto _ : state) {
        state.PauseTiming();
        SVUser user = benchUser(fixture->next++);
        Fixture::activate(user);
        state.ResumeTiming();
        fixture->storage->store(user, std::string("Main account"), std::string("Bench-Pass-1"));
    }
}

void StoreFloor(benchmark::State& state) {
    for (auto _ : state) fixture->floor->insertOne(fixture->next++);
}

// The floor with the key work no store can skip: the password's KEK and the
// encryption of kHMAC (Cryptor::encrypt), and the two ECIES wraps with the
// device key already in hand (the store reads it from the key store).
void StoreFloorWithKeyWork(benchmark::State& state) {
    SecKey local = SecureEnclave::local().retrieveKeyPair("local").publicKey;
    for (auto _ : state) {
        Bytes keyAuth = SecureEnclave::encrypt(filled(32, 1), local);
        Bytes keyHMAC = SecureEnclave::encrypt(Cryptor::encrypt(filled(32, 2), "bench-user", "Bench-Pass-1"), local);
        benchmark::DoNotOptimize(keyAuth);
        benchmark::DoNotOptimize(keyHMAC);
        fixture->floor->insertOne(fixture->next++);
    }
}

void ListUsers(benchmark::State& state) {
    auto& storage = *fixture->listings.at(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        auto users = storage.users();
        if (users.size() != static_cast<std::size_t>(state.range(0))) std::abort();
        benchmark::DoNotOptimize(users);
    }
}

BENCHMARK(StoreUser)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(StoreFloor)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(StoreFloorWithKeyWork)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(ListUsers)->Arg(10)->Arg(100)->Arg(1000)->UseRealTime()->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
    bench::CollectingReporter reporter;
    if (!bench::runWithFixture(argc, argv, fixture, reporter)) return 1;

    auto ratio = [&](const char* label, const char* measured, const char* floor) {
        bench::printRatio(reporter.realTime, label, measured, floor);
    };
    ratio("store-user/floor", "StoreUser/real_time", "StoreFloor/real_time");
    ratio("store-user/floor-with-key-work", "StoreUser/real_time", "StoreFloorWithKeyWork/real_time");
    ratio("list-100/list-10 (linear: 10)", "ListUsers/100/real_time", "ListUsers/10/real_time");
    ratio("list-1000/list-100 (linear: 10)", "ListUsers/1000/real_time", "ListUsers/100/real_time");
    return 0;
}
