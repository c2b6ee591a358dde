// The public managers: local checks, the sound behaviour where the plain
// description would lose data or leak secrets, and exactly one completion on
// every path.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <thread>

#include <svsdk/Common/SVSDK.h>

#include "Core/Security/HandlesManager.h"
#include "Core/Security/SecureEnclave.h"
#include "Core/Storing/CoreDataManager.h"
#include "support/KeyStoreFaults.h"
#include "support/Road.h"
#include "support/TestEnvironment.h"
#include "support/Thrown.h"

namespace svsdk::testing {
namespace {

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
    int requestsOf(const StandinServer& server) {
        int count = 0;
        for (auto& request : server.requests())
            count += request["path"].get<std::string>().find("/" + issued_.userID) != std::string::npos;
        return count;
    }
    SVTransaction transaction(std::optional<std::string> binaryURL, std::optional<Bytes> data = std::nullopt) {
        return SVTransaction("t", issued_.userID, issued_.systemID, 0, false, SVConfirmationType::online,
                             std::string("x"), std::move(data), SVTransaction::TextRenderType::raw, std::nullopt,
                             std::move(binaryURL));
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
        SecureEnclave::users().retrieveKeyPair(user.uniqueID());
        return true;
    } catch (const SVError&) {
        return false;
    }
}

using Operation = std::pair<const char*, std::function<void(const SVUser&, SVCompletion)>>;

// Each operation fails with `expected` (any failure when absent) and calls its completion exactly once.
void expectFailures(const std::vector<Operation>& operations, const SVUser& user,
                    std::optional<SVError::Code> expected = std::nullopt) {
    std::vector<Recorder<void>> recorders(operations.size());
    for (std::size_t i = 0; i < operations.size(); ++i) operations[i].second(user, recorders[i].completion());
    for (std::size_t i = 0; i < operations.size(); ++i) {
        auto result = recorders[i].wait();
        EXPECT_TRUE(!result.ok() && (!expected || result.error().is(*expected))) << operations[i].first;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    for (std::size_t i = 0; i < operations.size(); ++i) EXPECT_EQ(recorders[i].calls(), 1) << operations[i].first;
}

TEST_F(ManagersTest, SecretsInLogLinesNeedBothDebugAndKeys) {
    StandinServer server;
    for (bool keys : {false, true}) {
        SVSDK::setLogLevel(keys ? SVLoggingOptions::debug | SVLoggingOptions::keys : SVLoggingOptions::debug);
        platform_.log().clear();
        userOf(server, false);
        auto login = server.addLogin({{"user_id", issued_.userID}, {"system_id", issued_.systemID}});
        SVLogin::importFromJSON(login["qr"].get<std::string>());
        for (const std::string& secret : {issued_.qr, issued_.activationCode, login["qr"].get<std::string>()})
            EXPECT_EQ(platform_.log().anyContains(secret), keys) << secret;
        EXPECT_TRUE(keys || platform_.log().contains(SVLogCategory::users, "Activating the user using code: "));
    }
    SVSDK::setLogLevel(std::nullopt);
}

// Local checks fail before anything is sent; every operation calls its
// completion once: for an unreachable server, a user without kAuth (the
// request cannot be built), and what a legacy server does not offer.
TEST_F(ManagersTest, EveryOperationCompletesOnceOnEveryFailurePath) {
    StandinServer server;
    auto user = userOf(server, true, {{"flags", 0x3}});  // no autosign, no scoring
    auto pending = transaction(std::string("http://127.0.0.1:1/b"));
    auto bare = transaction(std::nullopt);
    SVScoringParameters<int> parameters("p", 1);
    auto login = SVLogin::importFromJSON(
        server.addLogin({{"user_id", issued_.userID}, {"system_id", issued_.systemID}})["qr"].get<std::string>());
    const int before = requestsOf(server);
    using Code = SVError::Code;
    std::pair<std::vector<Operation>, Code> local[] = {
        {{{"sign", [&](auto& u, auto c) { SVTransactionsManager::sign(pending, u, c); }},
          {"sign scored", [&](auto& u, auto c) { SVTransactionsManager::sign(pending, u, parameters, c); }},
          {"decline", [&](auto& u, auto c) { SVTransactionsManager::decline(pending, u, c); }},
          {"login confirm", [&](auto& u, auto c) { login.confirm(pending, u, c); }},
          {"login decline", [&](auto& u, auto c) { login.decline(pending, u, c); }}},
         Code::binaryDataIsRequired},
        {{{"binary", [&](auto& u, auto c) { SVTransactionsManager::getTransactionBinaryData(bare, u, voidOf(c)); }}},
         Code::binaryDataIsUnavaiable},
        {{{"autosign registration", [](auto& u, auto c) { SVAutoSigner::registerToAutosign(u, c); }},
          {"autosign", [&](auto& u, auto c) { SVAutoSigner::autosign(bare, u, parameters, c); }}},
         Code::autosignUnavailable},
        {{{"scoring", [](auto& u, auto c) { SVAutoSigner::getScoringSettings<int>(u, voidOf(c)); }}},
         Code::scoringUnavailable},
    };
    for (const auto& [operations, code] : local) expectFailures(operations, user, code);
    EXPECT_EQ(thrownCode([&] { SVTransactionsManager::signOffline(pending, user); }), Code::binaryDataIsRequired);
    EXPECT_EQ(thrownCode([&] { SVTransactionsManager::declineOffline(pending, user); }), Code::binaryDataIsRequired);
    EXPECT_EQ(requestsOf(server), before);

    SVUser unreachable("u-x", "gone", user.options(), "http://127.0.0.1:1", std::nullopt, std::nullopt, std::nullopt,
                       std::nullopt, {}, 180, 180, "gone-storage", 3, UserKeysContent::storedEncrypted(), 2000000000);
    SVUser keyless("u-y", issued_.systemID, user.options(), server.baseURL(), std::nullopt, std::nullopt,
                   std::nullopt, std::nullopt, {}, 180, 180, "keyless-storage", 3,
                   UserKeysContent::importedEncrypted(Bytes(64, 1)), 2000000000);
    auto signable = transaction(std::string("http://127.0.0.1:1/b"), Bytes{1, 2});
    auto undownloaded = transaction(server.baseURL() + "/binary");
    SVCodewordExtendedAuth codeword("word");
    auto farLogin = SVLogin::decode(nlohmann::json{{"sid", "s"}, {"sysId", "x"}, {"type", "login"}, {"expires", 4e9},
                                                   {"pulp", "AQI="}, {"loqUrl", "http://127.0.0.1:1/login"}});
    std::vector<Operation> remote{
        {"register", [](auto& u, auto c) { SVUsersManager::registerUser(u, "tok", c); }},
        {"template", [&](auto& u, auto c) { SVUsersManager::registerExtAuthTemplate(u, codeword, c); }},
        {"renew", [](auto& u, auto c) { SVUsersManager::renew(u, c); }},
        {"list", [](auto& u, auto c) { SVTransactionsManager::getTransactionList(u, voidOf(c)); }},
        {"fetch", [](auto& u, auto c) { SVTransactionsManager::getTransaction("t", u, voidOf(c)); }},
        {"binary", [&](auto& u, auto c) { SVTransactionsManager::getTransactionBinaryData(undownloaded, u, voidOf(c)); }},
        {"sign", [&](auto& u, auto c) { SVTransactionsManager::sign(signable, u, c); }},
        {"sign scored", [&](auto& u, auto c) { SVTransactionsManager::sign(signable, u, parameters, c); }},
        {"decline", [&](auto& u, auto c) { SVTransactionsManager::decline(signable, u, c); }},
        {"login request", [&](auto& u, auto c) { farLogin.requestLoginTransaction(u, voidOf(c)); }},
        {"login confirm", [&](auto& u, auto c) { farLogin.confirm(signable, u, c); }},
        {"login decline", [&](auto& u, auto c) { farLogin.decline(signable, u, c); }},
        {"autosign registration", [](auto& u, auto c) { SVAutoSigner::registerToAutosign(u, c); }},
        {"scoring", [](auto& u, auto c) { SVAutoSigner::getScoringSettings<int>(u, voidOf(c)); }},
    };
    for (const auto* u : {&unreachable, &keyless}) expectFailures(remote, *u);
    // A completion that throws is called once and stops nothing.
    Recorder<void> after;
    std::atomic<int> calls{0};
    SVTransactionsManager::sign(signable, unreachable, [&](const SVResult<void>&) {
        ++calls;
        throw std::runtime_error("host fault");
    });
    SVTransactionsManager::sign(signable, unreachable, after.completion());
    after.wait();
    EXPECT_EQ(calls, 1);

    StandinServer legacy(2);
    auto old = userOf(legacy);
    auto legacyLogin = SVLogin::decode(nlohmann::json{{"sid", "s"}, {"sysId", old.systemID()}, {"type", "login"},
                                                      {"expires", 4e9}, {"pulp", "AQI="},
                                                      {"loqUrl", legacy.baseURL() + "/login/client/getTransactionId"}});
    expectFailures({remote[1], remote[2], remote[12], remote[13],
                    {"login request", [&](auto& u, auto c) { legacyLogin.requestLoginTransaction(u, voidOf(c)); }},
                    {"autosign list", [](auto& u, auto c) { SVAutoSigner::getAutosignTransactionsList(u, voidOf(c)); }}},
                   old);
}

// Registration sends only what changed; when it fails it takes back the pair
// and the token it added; when no pair can be made it sends nothing.
TEST_F(ManagersTest, RegistrationSendsWhatChangedAndTakesItBackOnFailure) {
    std::optional<SVUser> user;
    {
        StandinServer server;
        user = userOf(server);
        ASSERT_TRUE(completed<void>([&](auto c) { SVUsersManager::registerUser(*user, "tok-1", c); }).ok());
        const auto registered = server.userState(issued_.systemID, issued_.userID);
        EXPECT_EQ(registered["public_key"], user->publicKey().value());
        SVUsersManager::store(*user, std::nullopt, std::nullopt);
        user = SVUsersManager::users().front();
        ASSERT_TRUE(completed<void>([&](auto c) { SVUsersManager::registerUser(*user, "tok-1", c); }).ok());
        EXPECT_FALSE(HandlesManager::shared().handle(HandleType::deviceToken, *user)) << "the same token is not sent";
        EXPECT_EQ(server.userState(issued_.systemID, issued_.userID)["public_key"], registered["public_key"]);
        SVUsersManager::deleteUser(*user);
        user = userOf(server);
        ASSERT_TRUE(completed<void>([&](auto c) { SVTransactionsManager::getTransactionList(*user, voidOf(c)); }).ok());
    }
    // The server is gone.
    auto failed = completed<void>([&](auto c) { SVUsersManager::registerUser(*user, "tok-2", c); });
    EXPECT_TRUE(!failed.ok() && failed.error().is(SVNetworkError::Code::serverDoesNotRespond));
    EXPECT_FALSE(hasSigningPair(*user));
    EXPECT_FALSE(HandlesManager::shared().handle(HandleType::deviceToken, *user));

    StandinServer server;
    auto unstored = userOf(server, false, {{"encrypted", false}});
    refuseKeyInserts(platform_.configuration().keychainPath.empty() ? platform_.dir().file("keychain.sqlite")
                                                                    : platform_.configuration().keychainPath);
    Recorder<void> recorder;
    SVUsersManager::registerUser(unstored, "token-x", recorder.completion());
    ASSERT_TRUE(recorder.called());  // before returning
    EXPECT_TRUE(recorder.wait().error().is(SVError::Code::secureEnclaveError));
    EXPECT_EQ(requestsOf(server), 0);
    EXPECT_FALSE(HandlesManager::shared().handle(HandleType::deviceToken, unstored));
}

TEST_F(ManagersTest, RemovedUserIsNotBroughtBackByLaterSteps) {
    StandinServer server;
    auto user = userOf(server);
    SVUsersManager::deleteUser(user);
    auto registered = completed<void>([&](auto c) { SVUsersManager::registerUser(user, "t", c); });
    EXPECT_TRUE(!registered.ok() && registered.error().is(SVError::Code::userNotFound));
    EXPECT_FALSE(hasSigningPair(user));
    EXPECT_EQ(thrownCode([&] { SVUsersManager::store(user, std::string("again"), password_); }), SVError::Code::userNotFound);

    // A renewal whose user's row goes while it runs: the new pair is not swapped in.
    auto second = userOf(server);
    ASSERT_TRUE(completed<void>([&](auto c) { SVUsersManager::registerUser(second, std::nullopt, c); }).ok());
    SVUsersManager::submit(password_, second);
    const auto oldKey = second.publicKey();
    CoreDataManager::shared().performTransaction(
        [&](StoreContext& context) { context.remove(context.fetchUserEntity(second.storageID()).value()); });
    auto renewed = completed<void>([&](auto c) { SVUsersManager::renew(second, c); });
    EXPECT_TRUE(!renewed.ok() && renewed.error().is(SVError::Code::userNotFound));
    EXPECT_TRUE(SVUsersManager::users().empty());
    EXPECT_EQ(second.publicKey(), oldKey);
}

TEST_F(ManagersTest, ActivationAndPasswordRules) {
    StandinServer server;
    auto issued = server.issueUser({{"system_id", "act-" + std::to_string(getpid())}});
    auto encrypted = SVUsersManager::importUser(issued.qr).value();
    for (const std::string& code : {std::string(), issued.activationCode + "1"})
        EXPECT_EQ(thrownCode([&] { SVUsersManager::activate(encrypted, code); }), SVError::Code::invalidActivationCode);
    EXPECT_FALSE(HandlesManager::shared().handle(HandleType::hmac, encrypted));
    auto clear = SVUsersManager::importUser(server.issueUser({{"encrypted", false}}).qr).value();
    EXPECT_TRUE(HandlesManager::shared().handle(HandleType::auth, clear));
    EXPECT_NO_THROW(SVUsersManager::activate(clear, ""));  // nothing to decrypt
    EXPECT_FALSE(SVUsersManager::importUser("no user here"));

    auto user = userOf(server);
    for (const char* password : {"", "wrong"})
        EXPECT_EQ(thrownCode([&] { SVUsersManager::submit(password, user); }), SVError::Code::invalidPassword);
    // Exactly one password-incorrect event, for the wrong password only.
    for (int i = 0; i < 100 && server.userState(issued_.systemID, issued_.userID)["events"].empty(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(server.userState(issued_.systemID, issued_.userID)["events"], (nlohmann::json{"password_incorrect"}));
}

TEST_F(ManagersTest, ExtensionStartUpRecordsItsHostAndProbesNothing) {
    StandinServer server;
    userOf(server);
    const auto before = server.requests().size();
    SVSDK::initialize(platform_.dir().file("managers.sqlite"), std::string("group.x"),
                      SVSDK::Mode::extension("org.example.main"));
    EXPECT_EQ(SVSDK::hostBundleIdentifier(), "org.example.main");
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(server.requests().size(), before);
    SVSDK::initialize(platform_.dir().file("managers.sqlite"), std::nullopt, SVSDK::Mode::app());
    EXPECT_EQ(SVSDK::hostBundleIdentifier(), "org.svsdk.tests");
}

TEST_F(ManagersTest, StartUpWithoutADefaultDatabaseLocationGoesOnWithoutAStore) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            unsetenv("HOME");
            unsetenv("XDG_DATA_HOME");
            auto config = platform_.configuration();
            config.dataDirectory.clear();
            platform_.apply(config);
            SVSDK::initialize(std::nullopt, std::nullopt, SVSDK::Mode::extension("org.example.app"));
            bool refused = false;
            try {
                SVUser user("u", "s", SVUserOptions{UserFlags(0)}, "http://127.0.0.1:1", std::nullopt, std::nullopt,
                            std::nullopt, std::nullopt, {}, 180, 180, "st", 3,
                            UserKeysContent::importedDecrypted(Bytes(32, 1), Bytes(32, 2)), 2000000000);
                HandlesManager::shared().add(Bytes(32, 1), HandleType::hmac, user);
                HandlesManager::shared().add(Bytes(32, 2), HandleType::auth, user);
                SVUsersManager::store(user, std::string("n"), std::string("p"));
            } catch (const std::exception&) {
                refused = true;
            }
            std::exit(!CoreDataManager::shared().databaseURL() && refused && SVUsersManager::users().empty() ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
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
    constexpr std::size_t kUnits = 16 << 20, kAllowance = 32 << 20, kTightAllowance = 4 << 20;
    auto repeated = [](const std::string& head, const std::string& unit, const std::string& tail) {
        std::string text = head;
        text.reserve(head.size() + kUnits + tail.size());
        for (std::size_t i = 0; i < kUnits / unit.size(); ++i) text += unit;
        return text + tail;
    };
    const std::string userJSON = "%7B%22user_id%22%3A%22u-1%22%2C%22system_id%22%3A%22S%22%2C%22key_flags%22%3A2%2C"
        "%22expiration_timestamp%22%3A1900000000%2C%22encrypted_key_content%22%3A%22AAECAw%3D%3D%22%2C"
        "%22sv_external_url%22%3A%22https%3A%2F%2Fh%22%2C%22sv_key_version%22%3A3%7D";
    const std::string userXML = "<keyData><systemId>S</systemId><userId>user-1</userId><expDate>31.12.2030</expDate>"
                                "<encryptedKey>AAECAw==</encryptedKey><interactionExternalURL>https://h"
                                "</interactionExternalURL><pad>";
    enum Import { user, transaction, analysis };
    struct Case {
        Import import;
        std::string head, unit, tail, expected;
        bool tight = false;
    } cases[] = {
        {user, "201\nSYS\nuser-1\n\n" + std::string(128, 'a') + "\n31.12.2030\n7\n\nhttps://h\n", "x\n", "", "user-1"},
        {user, "svsdk://user_key?", "a=b&", "key_json=" + userJSON, "u-1"},
        {user, "svsdk://user_key?", "a=b&", "key_json=" + userJSON, "nothing", true},
        {user, "svsdk://user_key/", "/", "?key_json=" + userJSON, "u-1"},
        {user, userXML, "x", "</pad></keyData>", "user-1"},
        {transaction, "203", "\r", "", "nothing"},
        {transaction, "203\nS\nu\nt\n1\n6\n", "x", "", std::to_string(kUnits)},
        {transaction, "203\nS\nu\nt\n1\n6\n", "x", "", "nothing", true},
        {analysis, "{", "x", "}", "none"},
        {analysis, userXML, "x", "</pad></keyData>", "user"},
        {analysis, R"({"transaction_id":")", "x", R"("})", "transaction"},
        {analysis, R"({"transaction_id":")", "x", R"("})", "none", true},
    };
    for (const auto& c : cases) {
        ScopedPlatform platform(c.tight ? SVLoggingOptions::debug : SVLoggingOptions{});
        pid_t child = fork();
        ASSERT_NE(child, -1);
        if (child == 0) {
            std::string text = repeated(c.head, c.unit, c.tail);
            std::size_t size = 0;  // of the address space now
            std::ifstream status("/proc/self/status");
            for (std::string line; std::getline(status, line);)
                if (line.rfind("VmSize:", 0) == 0) size = std::stoul(line.substr(7)) << 10;
            rlimit limit{};
            limit.rlim_cur = limit.rlim_max = size + (c.tight ? kTightAllowance : 4 * text.size() + kAllowance);
            if (setrlimit(RLIMIT_AS, &limit) != 0) _exit(3);
            try {
                std::string result = "nothing";
                if (c.import == user) {
                    if (auto u = SVUsersManager::importUser(text)) result = u->userID();
                } else if (c.import == transaction) {
                    if (auto t = SVTransactionsManager::importTransaction(text)) result = std::to_string(t->text()->size());
                } else {
                    result = rawValue(SVSDK::analyze(text));
                }
                _exit(result == c.expected && (!c.tight || platform.log().anyContains("std::bad_alloc")) ? 0 : 1);
            } catch (...) {
                _exit(2);
            }
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
            << c.head.substr(0, 20) << (WIFSIGNALED(status) ? ": killed by signal " + std::to_string(WTERMSIG(status))
                                        : ": exit " + std::to_string(WEXITSTATUS(status)) + " (2: threw, 1: wrong result or no log line)");
    }
}

}  // namespace
}  // namespace svsdk::testing
