// The public managers: local checks, the sound behaviour where the plain
// description would lose data or leak secrets, and exactly one completion on
// every path.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <thread>

#include <svsdk/Common/SVSDK.h>
#include <svsdk/SVApplicationLifecycle.h>

#include "BuildConstants.h"
#include "Core/DeviceData/LocationManager.h"
#include "Core/DeviceData/WifiInfo.h"
#include "Core/Security/HandlesManager.h"
#include "Core/Security/SecureEnclave.h"
#include "Core/Storing/CoreDataManager.h"
#include "Core/Storing/StorageTestSupport.h"
#include "Core/Time/DNSResolver.h"
#include "Platform/HostState.h"
#include "Platform/KeychainStore.h"
#include "support/ChildProcess.h"
#include "support/FakeLocationPlatform.h"
#include "support/KeyStoreFaults.h"
#include "support/LoopbackServer.h"
#include "support/Road.h"
#include "support/ScopedClock.h"
#include "support/SigningUser.h"
#include "support/TestEnvironment.h"
#include "support/Thrown.h"
#include "support/UdpResponder.h"

namespace svsdk::testing {
namespace {

using Code = SVError::Code;
using Operation = std::pair<const char*, std::function<void(const SVUser&, SVCompletion)>>;

struct Unconvertible {};
template <class J>
void to_json(J&, const Unconvertible&) { throw std::runtime_error("cannot convert"); }

class ManagersTest : public ::testing::Test {
protected:
    void SetUp() override {
        SVSDK::initialize(platform_.dir().file("managers.sqlite"), std::nullopt, SVSDK::Mode::app());
        removeAllUsers();
    }
    // An imported, activated user of `server`; with `stored`, stored and unlocked.
    SVUser userOf(StandinServer& server, bool stored = true, nlohmann::json options = nlohmann::json::object()) {
        static std::atomic<int> next{0};
        options["system_id"] = "sys-m" + std::to_string(getpid()) + "-" + std::to_string(next++);
        issued_ = server.issueUser(options);
        auto user = SVUsersManager::importUser(issued_.qr).value();
        SVUsersManager::activate(user, issued_.activationCode);
        if (!stored) return user;
        SVUsersManager::store(user, std::string("name"), password_);
        for (auto& read : SVUsersManager::users()) if (read.storageID() == user.storageID()) user = read;
        SVUsersManager::submit(password_, user);
        return user;
    }
    long requestsOf(const StandinServer& server) {
        auto all = server.requests();
        return std::count_if(all.begin(), all.end(), [&](auto& r) { return r["path"].template get<std::string>().find("/" + issued_.userID) != std::string::npos; });
    }
    ScopedPlatform platform_;
    StandinServer::IssuedUser issued_;
    const std::string password_ = "secret-1";
};

// A completion of any result type that passes only success or failure on.
auto voidOf(SVCompletion c) {
    return [c](const auto& r) { c(r.ok() ? SVResult<void>() : SVResult<void>(r.error())); };
}

bool hasSigningPair(const SVUser& user) {
    try {
        return SecureEnclave::users().retrieveKeyPair(user.uniqueID()), true;
    } catch (const SVError&) {
        return false;
    }
}

// Each operation fails (with `expected`, when given; `atOnce`, before it returns) and calls its completion exactly once.
void expectFailures(const std::vector<Operation>& operations, const SVUser& user, std::optional<Code> expected = std::nullopt,
                    bool atOnce = false) {
    std::vector<Recorder<void>> recorders(operations.size());
    for (std::size_t i = 0; i < operations.size(); ++i) {
        operations[i].second(user, recorders[i].completion());
        EXPECT_TRUE(!atOnce || recorders[i].calls() == 1) << operations[i].first << ": completion after returning";
    }
    for (std::size_t i = 0; i < operations.size(); ++i) {
        auto result = recorders[i].wait();
        EXPECT_TRUE(!result.ok() && (!expected || result.error().is(*expected))) << operations[i].first;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    for (std::size_t i = 0; i < operations.size(); ++i) EXPECT_EQ(recorders[i].calls(), 1) << operations[i].first;
}

// Secrets are logged only with both debug and keys; wrong codes and passwords
// are refused, and a wrong password tells the server once; an extension
// records its host at start-up and probes nothing.
TEST_F(ManagersTest, ImportActivationAndUnlock) {
    StandinServer server;
    for (bool keys : {false, true}) {
        SVSDK::setLogLevel(keys ? SVLoggingOptions::debug | SVLoggingOptions::keys : SVLoggingOptions::debug);
        platform_.log().clear();
        userOf(server, false);
        auto login = server.addLogin({{"user_id", issued_.userID}, {"system_id", issued_.systemID}})["qr"].get<std::string>();
        SVLogin::importFromJSON(login);
        for (const std::string& secret : {issued_.qr, issued_.activationCode, login})
            EXPECT_EQ(platform_.log().anyContains(secret), keys) << secret;
    }
    SVSDK::setLogLevel(std::nullopt);

    auto encrypted = SVUsersManager::importUser(issued_.qr).value();
    for (const std::string& code : {std::string(), issued_.activationCode + "1"})
        EXPECT_EQ(thrownCode([&] { SVUsersManager::activate(encrypted, code); }), Code::invalidActivationCode);
    EXPECT_FALSE(HandlesManager::shared().handle(HandleType::hmac, encrypted));
    auto clear = SVUsersManager::importUser(server.issueUser({{"encrypted", false}}).qr).value();
    EXPECT_TRUE(HandlesManager::shared().handle(HandleType::auth, clear));
    EXPECT_NO_THROW(SVUsersManager::activate(clear, ""));  // nothing to decrypt
    EXPECT_FALSE(SVUsersManager::importUser("no user here"));

    auto user = userOf(server);
    for (const char* password : {"", "wrong"})
        EXPECT_EQ(thrownCode([&] { SVUsersManager::submit(password, user); }), Code::invalidPassword);
    auto events = [&] { return server.userState(issued_.systemID, issued_.userID)["events"]; };
    for (int i = 0; i < 100 && events().empty(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(events(), (nlohmann::json{"password_incorrect"}));

    const auto before = server.requests().size();
    SVSDK::initialize(platform_.dir().file("managers.sqlite"), std::string("group.x"), SVSDK::Mode::extension("org.example.main"));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_TRUE(SVSDK::hostBundleIdentifier() == "org.example.main" && server.requests().size() == before);
    SVSDK::initialize(platform_.dir().file("managers.sqlite"), std::nullopt, SVSDK::Mode::app());
    EXPECT_EQ(SVSDK::hostBundleIdentifier(), "org.svsdk.tests");

    // A legacy user moves into the current storage at its first unlock, and only
    // then (a wrong password moves nothing); a current user is never moved.
    const std::string store = platform_.dir().file("managers.sqlite"), legacyPassword = "Secret-Pass-42";
    if (!std::filesystem::exists(store)) GTEST_SKIP() << "the process's store was opened by an earlier test";
    LegacyRows rows;
    rows.insert(store, legacyPassword);
    RawDatabase(store).exec("UPDATE SVKeyEntity SET interactionExternalURL = 'http://127.0.0.1:1/sv'");
    auto legacy = SVUsersManager::users().back();
    ASSERT_EQ(legacy.userVersion(), 2);
    EXPECT_EQ(thrownCode([&] { SVUsersManager::submit("Wrong-Pass-1", legacy); }), Code::transferStorage);
    ASSERT_NO_THROW(SVUsersManager::submit(legacyPassword, legacy));
    auto& handles = HandlesManager::shared();
    EXPECT_TRUE(handles.handle(HandleType::hmac, legacy) == sampleKHMAC() && handles.handle(HandleType::auth, legacy) ==
                sampleKAuth() && handles.handle(HandleType::password, legacy) == bytesOf(legacyPassword));
    auto moved = SVUsersManager::users();
    EXPECT_TRUE(moved.size() == 2 && moved[1].storageID() == legacy.storageID() && moved[1].userVersion() == 3);
    // The value read before the move is a stored user now, and one not stored stays unstored.
    EXPECT_EQ(thrownCode([&] { SVUsersManager::submit("Wrong-Pass-1", legacy); }), Code::invalidPassword);
    EXPECT_EQ(thrownCode([&] { SVUsersManager::submit(password_, userOf(server, false)); }), Code::internalError);
}

// Local checks fail before anything is sent or the call returns; every operation calls its
// completion once: for an unreachable server, a user without kAuth (the
// request cannot be built), a throwing completion, and what a legacy server does not offer.
TEST_F(ManagersTest, EveryOperationCompletesOnceOnEveryFailurePath) {
    StandinServer server;
    auto user = userOf(server, true, {{"flags", 0x3}});  // no autosign, no scoring
    auto transaction = [&](std::optional<std::string> url, std::optional<Bytes> data = std::nullopt) {
        return SVTransaction("t", issued_.userID, issued_.systemID, 0, false, SVConfirmationType::online, std::string("x"),
                             std::move(data), SVTransaction::TextRenderType::raw, std::nullopt, std::move(url));
    };
    auto pending = transaction(std::string("http://127.0.0.1:1/b")), bare = transaction(std::nullopt);
    auto signable = transaction(std::string("http://127.0.0.1:1/b"), Bytes{1, 2});
    SVScoringParameters<int> parameters("p", 1);
    auto login = SVLogin::importFromJSON(server.addLogin({{"user_id", issued_.userID}})["qr"].get<std::string>());
    // At its end by the device clock, while the corrected clock is half a minute short of it.
    SVLogin ended(issued_.systemID, 1.9e9, "s", SVQRType::login, Bytes{1}, server.baseURL() + "/login");
    auto atEnd = [](auto answer) {
        ScopedClock clock(1.9e9, 100);
        TimeManager::setStableTime(StableTime{100, 1.9e9, -30});
        answer();
    };
    SecureEnclave::autosign().generateKeyPair(user.uniqueID());  // autosign is refused by the flag alone
    const long before = requestsOf(server);
    std::pair<std::vector<Operation>, std::optional<Code>> local[] = {
        {{{"sign", [&](auto& u, auto c) { SVTransactionsManager::sign(pending, u, c); }},
          {"sign scored", [&](auto& u, auto c) { SVTransactionsManager::sign(pending, u, parameters, c); }},
          {"decline", [&](auto& u, auto c) { SVTransactionsManager::decline(pending, u, c); }},
          {"login confirm", [&](auto& u, auto c) { login.confirm(pending, u, c); }},
          {"login decline", [&](auto& u, auto c) { login.decline(pending, u, c); }}},
         Code::binaryDataIsRequired},
        {{{"ended login confirm", [&](auto& u, auto c) { atEnd([&] { ended.confirm(signable, u, c); }); }},
          {"ended login decline", [&](auto& u, auto c) { atEnd([&] { ended.decline(signable, u, c); }); }}},
         Code::loginSessionIsExpired},
        {{{"binary", [&](auto& u, auto c) { SVTransactionsManager::getTransactionBinaryData(bare, u, voidOf(c)); }}},
         Code::binaryDataIsUnavaiable},
        {{{"autosign registration", [](auto& u, auto c) { SVAutoSigner::registerToAutosign(u, c); }},
          {"autosign", [&](auto& u, auto c) { SVAutoSigner::autosign(bare, u, parameters, c); }},
          {"autosign list", [](auto& u, auto c) { SVAutoSigner::getAutosignTransactionsList(u, voidOf(c)); }}},
         Code::autosignUnavailable},
        {{{"scoring", [](auto& u, auto c) { SVAutoSigner::getScoringSettings<int>(u, voidOf(c)); }}}, Code::scoringUnavailable},
        {{{"unconvertible", [&](auto& u, auto c) {
            SVTransactionsManager::sign(signable, u, SVScoringParameters<Unconvertible>("p", {}), c); }}}, std::nullopt},
    };
    for (const auto& [operations, code] : local) expectFailures(operations, user, code, true);
    EXPECT_EQ(thrownCode([&] { SVTransactionsManager::signOffline(pending, user); }), Code::binaryDataIsRequired);
    EXPECT_EQ(thrownCode([&] { SVTransactionsManager::declineOffline(pending, user); }), Code::binaryDataIsRequired);
    EXPECT_EQ(requestsOf(server), before);
    SecureEnclave::autosign().removeKeyPair(user.uniqueID());

    auto other = [&](const char* id, const std::string& url, UserKeysContent keys) {
        return SVUser(id, issued_.systemID, user.options(), url, std::nullopt, std::nullopt, std::nullopt, std::nullopt, {},
                      180, 180, std::string(id) + "-storage", 3, std::move(keys), 2000000000);
    };
    SVUser unreachable = other("u-x", "http://127.0.0.1:1", UserKeysContent::storedEncrypted());
    SVUser keyless = other("u-y", server.baseURL(), UserKeysContent::importedEncrypted(Bytes(64, 1)));
    auto undownloaded = transaction(server.baseURL() + "/binary");
    SVCodewordExtendedAuth codeword("word");
    auto loginAt = [](const std::string& url, const std::string& system) {
        return SVLogin::decode(nlohmann::json{{"sid", "s"}, {"sysId", system}, {"type", "login"}, {"expires", 4e9}, {"pulp", "AQI="}, {"loqUrl", url}});
    };
    auto farLogin = loginAt("http://127.0.0.1:1/login", "x");
    std::vector<Operation> remote{
        {"register", [](auto& u, auto c) { SVUsersManager::registerUser(u, "tok", c); }},
        {"template", [&](auto& u, auto c) { SVUsersManager::registerExtAuthTemplate(u, codeword, c); }},
        {"renew", [](auto& u, auto c) { SVUsersManager::renew(u, c); }},
        {"autosign registration", [](auto& u, auto c) { SVAutoSigner::registerToAutosign(u, c); }},
        {"scoring", [](auto& u, auto c) { SVAutoSigner::getScoringSettings<int>(u, voidOf(c)); }},
        {"list", [](auto& u, auto c) { SVTransactionsManager::getTransactionList(u, voidOf(c)); }},
        {"fetch", [](auto& u, auto c) { SVTransactionsManager::getTransaction("t", u, voidOf(c)); }},
        {"binary", [&](auto& u, auto c) { SVTransactionsManager::getTransactionBinaryData(undownloaded, u, voidOf(c)); }},
        {"sign", [&](auto& u, auto c) { SVTransactionsManager::sign(signable, u, c); }},
        {"sign scored", [&](auto& u, auto c) { SVTransactionsManager::sign(signable, u, parameters, c); }},
        {"decline", [&](auto& u, auto c) { SVTransactionsManager::decline(signable, u, c); }},
        {"login request", [&](auto& u, auto c) { farLogin.requestLoginTransaction(u, voidOf(c)); }},
        {"login confirm", [&](auto& u, auto c) { farLogin.confirm(signable, u, c); }},
        {"login decline", [&](auto& u, auto c) { farLogin.decline(signable, u, c); }},
    };
    for (const auto* u : {&unreachable, &keyless}) expectFailures(remote, *u);
    Recorder<void> after;  // a completion that throws is called once and stops nothing
    std::atomic<int> calls{0};
    SVTransactionsManager::sign(signable, unreachable, [&](const SVResult<void>&) { ++calls, throw std::runtime_error("host fault"); });
    SVTransactionsManager::sign(signable, unreachable, after.completion());
    EXPECT_EQ((after.wait(), calls.load()), 1);

    StandinServer legacy(2);
    auto old = userOf(legacy);
    auto legacyLogin = loginAt(legacy.baseURL() + "/login/client/getTransactionId", old.systemID());
    expectFailures({remote[1], remote[2], remote[3], remote[4],
                    {"login request", [&](auto& u, auto c) { legacyLogin.requestLoginTransaction(u, voidOf(c)); }},
                    {"autosign list", [](auto& u, auto c) { SVAutoSigner::getAutosignTransactionsList(u, voidOf(c)); }}},
                   old);
    // Autosign is refused here before the pair exists, and for a user of the old storage even with it, whose
    // registration then goes to the server; the pair of a current user counts as registered without any request.
    const auto& autosigning = local[3].first;  // registration, autosign, list
    SVUser oldStorage(old.userID(), old.systemID(), old.options(), old.interactionURL(), old.name(), old.registeredDeviceToken(),
                      old.apiVersion(), old.systemName(), old.extAuthMethods(), old.confirmationCodeTSI(),
                      old.authorizationCodeTSI(), old.storageID(), 2, old.keysContent(), old.expirationTimestamp());
    expectFailures({autosigning[1], autosigning[2]}, old, Code::autosignUnavailable, true);
    SecureEnclave::autosign().generateKeyPair(old.uniqueID());
    expectFailures({autosigning[1], autosigning[2]}, oldStorage, Code::autosignUnavailable, true);
    expectFailures({autosigning[0]}, oldStorage, Code::endpointUnavailable);
    Recorder<void> registered;
    SVAutoSigner::registerToAutosign(old, registered.completion());
    EXPECT_TRUE(registered.calls() == 1 && registered.wait().ok());
    SecureEnclave::autosign().removeKeyPair(old.uniqueID());
}

// Registration sends only what changed and takes back the pair and the token
// it added when it fails; when no pair can be made it sends nothing; a user
// removed meanwhile is not written again (registration, store, renewal).
TEST_F(ManagersTest, RegistrationTakesBackWhatItAddedAndRemovedUsersStayRemoved) {
    std::optional<SVUser> user;
    {
        StandinServer server;
        user = userOf(server);
        ASSERT_TRUE(completed<void>([&](auto c) { SVUsersManager::registerUser(*user, "tok-1", c); }).ok());
        const auto key = server.userState(issued_.systemID, issued_.userID)["public_key"];
        SVUsersManager::store(*user, std::nullopt, std::nullopt);
        user = SVUsersManager::users().front();
        ASSERT_TRUE(completed<void>([&](auto c) { SVUsersManager::registerUser(*user, "tok-1", c); }).ok());
        EXPECT_FALSE(HandlesManager::shared().handle(HandleType::deviceToken, *user)) << "the same token is not sent";
        EXPECT_TRUE(key == user->publicKey().value() && server.userState(issued_.systemID, issued_.userID)["public_key"] == key);
        SVUsersManager::deleteUser(*user);
        user = userOf(server);
        ASSERT_TRUE(completed<void>([&](auto c) { SVTransactionsManager::getTransactionList(*user, voidOf(c)); }).ok());
    }
    auto failed = completed<void>([&](auto c) { SVUsersManager::registerUser(*user, "tok-2", c); });  // the server is gone
    EXPECT_TRUE(!failed.ok() && failed.error().is(SVNetworkError::Code::serverDoesNotRespond));
    EXPECT_FALSE(hasSigningPair(*user) || HandlesManager::shared().handle(HandleType::deviceToken, *user));
    removeAllUsers();

    StandinServer server;
    auto removed = userOf(server);
    SVUsersManager::deleteUser(removed);
    EXPECT_TRUE(completed<void>([&](auto c) { SVUsersManager::registerUser(removed, "t", c); }).error().is(Code::userNotFound));
    EXPECT_FALSE(hasSigningPair(removed));
    EXPECT_EQ(thrownCode([&] { SVUsersManager::store(removed, std::string("again"), password_); }), Code::userNotFound);
    auto renewing = userOf(server);  // its row goes while the renewal runs: the new pair is not swapped in
    ASSERT_TRUE(completed<void>([&](auto c) { SVUsersManager::registerUser(renewing, std::nullopt, c); }).ok());
    SVUsersManager::submit(password_, renewing);
    const auto oldKey = renewing.publicKey();
    CoreDataManager::shared().performTransaction(
        [&](StoreContext& context) { context.remove(context.fetchUserEntity(renewing.storageID()).value()); });
    EXPECT_TRUE(completed<void>([&](auto c) { SVUsersManager::renew(renewing, c); }).error().is(Code::userNotFound));
    EXPECT_TRUE(SVUsersManager::users().empty() && renewing.publicKey() == oldKey);

    auto unstored = userOf(server, false, {{"encrypted", false}});
    refuseKeyInserts(platform_.configuration().keychainPath.empty() ? platform_.dir().file("keychain.sqlite")
                                                                    : platform_.configuration().keychainPath);
    Recorder<void> recorder;
    SVUsersManager::registerUser(unstored, "token-x", recorder.completion());
    ASSERT_EQ(recorder.calls(), 1);  // before returning
    EXPECT_TRUE(recorder.wait().error().is(Code::secureEnclaveError));
    EXPECT_EQ(requestsOf(server), 0);
    EXPECT_FALSE(HandlesManager::shared().handle(HandleType::deviceToken, unstored));

    // Nor when asking for the user's pair fails (here the host's log sink refuses that line).
    struct RefusingSink : SVLogSink {
        void write(SVLogCategory, SVLogType, std::string_view message) override {
            if (message == "Checking if user has keypair") throw std::runtime_error("refused");
        }
    };
    auto config = platform_.configuration();
    config.logSink = std::make_shared<RefusingSink>();
    platform_.apply(config);
    SVSDK::setLogLevel(SVLoggingOptions::debug);
    EXPECT_FALSE(completed<void>([&](auto c) { SVUsersManager::registerUser(unstored, "token-y", c); }).ok());
    SVSDK::setLogLevel(std::nullopt);
    EXPECT_FALSE(HandlesManager::shared().handle(HandleType::deviceToken, unstored));
}

// Start-up runs its steps in order, and each leaves its mark: the log lines,
// the database and the access group it sets (the device pair is made in that
// group), the restored stable time, the name looked up for network time, the
// user agent fetched, the secret cache watching the lifecycle, the location
// mode, the host's identifier and a probe of every stored user's server.
TEST_F(ManagersTest, StartUpRunsEachStepInOrder) {
    StandinServer server;
    userOf(server), userOf(server);
    // The store opened first stays; a later call only replaces the location recorded.
    const std::string first = platform_.dir().file("first.sqlite"), second = platform_.dir().file("second.sqlite");
    auto probes = [&] {
        auto all = server.requests();
        return std::count_if(all.begin(), all.end(),
                             [](auto& r) { return r["path"].template get<std::string>().ends_with("/health_check"); });
    };
    std::atomic<int> lookups{0}, agents{0};
    UdpResponder names([&](const UdpResponder::Bytes& query) {
        if (std::string(query.begin(), query.end()).find("startup") != std::string::npos) ++lookups;
        return std::vector<UdpResponder::Reply>{};
    });
    DNSResolver::setServersForTesting("127.0.0.1:" + std::to_string(names.port()));
    auto config = platform_.configuration();
    config.ntpServerHost = "time.startup.test";
    config.userAgentProvider = [&] { return "agent-" + std::to_string(++agents); };
    platform_.apply(config);
    KeyQuery localPair;
    localPair.applicationTag = bytesOf(SecureEnclave::local().applicationTag());
    localPair.applicationLabel = SecureEnclave::applicationLabel("local");

    const std::vector<std::string> known = {"Configuring SDK", "Using the session with ID: ",
                                            "Checking the local keypair", "Checking servers API versions"};
    const std::vector<std::string> extension(known.begin(), known.begin() + 2);
    struct Row {
        std::string database;
        std::optional<std::string> group;
        SVSDK::Mode mode;
        std::optional<std::string> host;
        bool whenInUse;
        long probes;
        std::vector<std::string> lines;
    };
    const auto inExtension = SVSDK::Mode::extension("org.example.main");
    for (const Row& row : {Row{first, "group.x", SVSDK::Mode::app(), "org.svsdk.tests", true, 2, known},
                           Row{second, std::nullopt, inExtension, "org.example.main", false, 0, extension},
                           Row{first, std::nullopt, SVSDK::Mode::app(), "org.svsdk.tests", true, 2, known}}) {
        SCOPED_TRACE(row.database + " " + row.host.value_or("-"));
        // What each step is to make or replace.
        KeychainStore::current().deleteKeys(localPair);
        HostState::setAccessGroup("group.old");
        HostState::setHostBundleIdentifier("org.example.old");
        HandlesManager::shared().stopObserving();
        LocationManager::shared().setLocationWhenInUseAvailable(true);
        const StableTime record{TimeManager::systemUptime(), TimeManager::deviceClock(), 2.5};
        TimeManager::saveStableTime(record);
        TimeManager::setStableTime(std::nullopt);
        const long probesBefore = probes();
        const int lookupsBefore = lookups;
        SVSDK::setLogLevel(SVLoggingOptions::debug);
        platform_.log().clear();

        SVSDK::initialize(row.database, row.group, row.mode);

        drainMainQueue();
        std::vector<std::string> lines;
        for (const auto& entry : platform_.log().entries())
            for (const auto& line : known)
                if (entry.message.starts_with(line)) lines.push_back(line);
        EXPECT_EQ(lines, row.lines);
        EXPECT_EQ(CoreDataManager::shared().databaseURL(), row.database);
        EXPECT_EQ(TimeManager::stableTime(), record);
        EXPECT_EQ(HostState::accessGroup(), row.group);
        EXPECT_EQ(WifiInfo::cachedUserAgent(), "agent-" + std::to_string(agents));
        EXPECT_EQ(LocationManager::shared().isLocationWhenInUseAvailable(), row.whenInUse);
        EXPECT_EQ(SVSDK::hostBundleIdentifier(), row.host);
        KeyItem made;
        const bool pairMade = KeychainStore::current().findKey(localPair, &made) == errSecSuccess;
        EXPECT_EQ(pairMade, row.probes > 0);
        EXPECT_TRUE(!pairMade || made.accessGroup == row.group);
        SVUser someone = makeUser("u", 0, 180, 180, "st", 3, UserKeysContent::storedEncrypted());
        HandlesManager::shared().add(Bytes(32, 1), HandleType::auth, someone);
        SVApplicationLifecycle::willTerminate();
        EXPECT_FALSE(HandlesManager::shared().handle(HandleType::auth, someone));
        for (int i = 0; i < 250 && (lookups == lookupsBefore || probes() < probesBefore + row.probes); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        EXPECT_GT(lookups, lookupsBefore);
        EXPECT_EQ(probes() - probesBefore, row.probes);
    }
    SVSDK::setLogLevel(std::nullopt);
    DNSResolver::setServersForTesting("127.0.0.1:" + std::to_string(LoopbackServer::unusedPort()));
}

// In a child each, as the default location is computed once: it lies in the
// data folder, made on the way; a folder that cannot be made stops the process;
// without any location start-up goes on without a store.
TEST_F(ManagersTest, StartUpAndTheDefaultDatabaseLocation) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    auto config = platform_.configuration();
    const std::string expected = platform_.dir().file("data/new/") + build::kDatabaseResourceName + ".sqlite";
    EXPECT_EXIT(
        {
            config.dataDirectory = platform_.dir().file("data/new");
            platform_.apply(config);
            std::string first = SVSDK::defaultDatabaseURL();
            config.dataDirectory = platform_.dir().file("elsewhere");
            platform_.apply(config);
            std::exit(first == expected && SVSDK::defaultDatabaseURL() == first && std::ifstream(platform_.dir().file("data/new")) ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
    EXPECT_EXIT(
        {
            unsetenv("HOME");
            unsetenv("XDG_DATA_HOME");
            config.dataDirectory.clear();
            platform_.apply(config);
            SVSDK::initialize(std::nullopt, std::nullopt, SVSDK::Mode::extension("org.example.app"));
            SVUser user = makeUser("u", 0, 180, 180, "st", 3, UserKeysContent::importedDecrypted(Bytes(32, 1), Bytes(32, 2)));
            HandlesManager::shared().add(Bytes(32, 1), HandleType::hmac, user);
            HandlesManager::shared().add(Bytes(32, 2), HandleType::auth, user);
            bool refused = thrownAs<std::exception>([&] { SVUsersManager::store(user, std::string("n"), std::string("p")); }).has_value();
            std::exit(!CoreDataManager::shared().databaseURL() && refused && SVUsersManager::users().empty() ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
    std::ofstream(platform_.dir().file("plain-file")) << "x";
    config.dataDirectory = platform_.dir().file("plain-file/data");
    platform_.apply(config);
    EXPECT_DEATH(SVSDK::defaultDatabaseURL(), "Unable to create the default database path");
}

// Each import runs in a child whose address space may grow by a few times its
// text and a fixed allowance: an import that kept a record per character or per
// line, or a copy per query item, dies there or meets std::bad_alloc. With the
// allowance alone ("tight") even one copy of the text fails, and the import
// gives nothing (logged) instead of throwing.
TEST(ImportBoundsTest, AnImportHoldsASmallMultipleOfItsTextAndNeverThrows) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "a sanitizer reserves more address space than any limit allows";
#endif
    constexpr std::size_t kUnits = 16 << 20;
    const std::string deepLink = "key_json=%7B%22user_id%22%3A%22u-1%22%2C%22system_id%22%3A%22S%22%2C%22key_flags%22%3A2%2C"
        "%22expiration_timestamp%22%3A1900000000%2C%22encrypted_key_content%22%3A%22AAECAw%3D%3D%22%2C"
        "%22sv_external_url%22%3A%22https%3A%2F%2Fh%22%2C%22sv_key_version%22%3A3%7D";
    const std::string xml = "<keyData><systemId>S</systemId><userId>user-1</userId><expDate>31.12.2030</expDate><encryptedKey>"
                            "AAECAw==</encryptedKey><interactionExternalURL>https://h</interactionExternalURL><pad>";
    enum Import { user, transaction, analysis };
    std::tuple<Import, std::string, std::string, std::string, std::string, bool> cases[] = {  // head, unit, tail, result, tight
        {user, "201\nSYS\nuser-1\n\n" + std::string(128, 'a') + "\n31.12.2030\n7\n\nhttps://h\n", "x\n", "", "user-1", false},
        {user, "svsdk://user_key?", "a=b&", deepLink, "u-1", false},
        {user, "svsdk://user_key?", "a=b&", deepLink, "nothing", true},
        {user, xml, "x", "</pad></keyData>", "user-1", false},
        {transaction, "203\nS\nu\nt\n1\n6\n", "x", "", std::to_string(kUnits), false},
        {transaction, "203\nS\nu\nt\n1\n6\n", "x", "", "nothing", true},
        {analysis, R"({"transaction_id":")", "x", R"("})", "transaction", false},
        {analysis, R"({"transaction_id":")", "x", R"("})", "none", true},
    };
    for (const auto& [import, head, unit, tail, expected, tight] : cases) {
        ScopedPlatform platform(tight ? SVLoggingOptions::debug : SVLoggingOptions{});
        int status = runInChildProcess([&] {
            std::string text = head, result = "nothing";
            text.reserve(head.size() + kUnits + tail.size());
            for (std::size_t i = 0; i < kUnits / unit.size(); ++i) text += unit;
            text += tail;
            if (!limitAddressSpace(tight ? 4 << 20 : 4 * text.size() + (32 << 20))) _exit(3);
            try {
                if (import == user) {
                    if (auto u = SVUsersManager::importUser(text)) result = u->userID();
                } else if (import == transaction) {
                    if (auto t = SVTransactionsManager::importTransaction(text)) result = std::to_string(t->text()->size());
                } else {
                    result = rawValue(SVSDK::analyze(text));
                }
            } catch (...) {
                _exit(2);
            }
            _exit(result == expected && (!tight || platform.log().anyContains("std::bad_alloc")) ? 0 : 1);
        });
        EXPECT_EQ(status, 0) << head.substr(0, 20) << " (exit 2: threw, 1: wrong result or no log line)";
    }
}

}  // namespace
}  // namespace svsdk::testing
