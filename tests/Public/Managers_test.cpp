// The public managers: their local checks, the sound behaviour where the
// plain description would lose data or leak secrets, and exactly one
// completion on every path.
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
#include "Core/TimeManager.h"
#include "Core/Utilities/Encoding.h"
#include "support/KeyStoreFaults.h"
#include "support/Road.h"
#include "support/TestEnvironment.h"
#include "support/Thrown.h"

namespace svsdk::testing {
namespace {

std::string freshSystemID(const char* prefix) {
    static std::atomic<int> next{0};
    return std::string(prefix) + "-m" + std::to_string(getpid()) + "-" + std::to_string(next++);
}

class ManagersTest : public ::testing::Test {
protected:
    void SetUp() override {
        SVSDK::initialize(platform_.dir().file("managers.sqlite"), std::nullopt, SVSDK::Mode::app());
        removeAllUsers();
    }
    // An imported, activated user of `server`.
    SVUser activatedUser(StandinServer& server, nlohmann::json options = nlohmann::json::object()) {
        options["system_id"] = freshSystemID("sys");
        issued_ = server.issueUser(options);
        auto user = SVUsersManager::importUser(issued_.qr).value();
        SVUsersManager::activate(user, issued_.activationCode);
        return user;
    }
    // The same, stored and unlocked.
    SVUser storedUser(StandinServer& server, nlohmann::json options = nlohmann::json::object()) {
        auto imported = activatedUser(server, std::move(options));
        SVUsersManager::store(imported, std::string("name"), password_);
        for (auto& user : SVUsersManager::users())
            if (user.storageID() == imported.storageID()) {
                SVUsersManager::submit(password_, user);
                return user;
            }
        throw std::runtime_error("not stored");
    }
    int requestsOf(const StandinServer& server, const std::string& userID) {
        int count = 0;
        for (auto& request : server.requests())
            if (request["path"].get<std::string>().find("/" + userID) != std::string::npos) ++count;
        return count;
    }

    ScopedPlatform platform_;
    StandinServer::IssuedUser issued_;
    const std::string password_ = "secret-1";
};

// A completion of any result type that passes only success or failure on.
auto voidOf(SVCompletion c) {
    return [c](const auto& r) { c(r.ok() ? SVResult<void>() : SVResult<void>(r.error())); };
}

// `run` fails and calls its completion exactly once, also a while later.
void expectOneFailedCompletion(const std::string& name, const std::function<void(SVCompletion)>& run) {
    Recorder<void> recorder;
    run(recorder.completion());
    EXPECT_FALSE(recorder.wait().ok()) << name;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(recorder.calls(), 1) << name;
}

bool hasSigningPair(const SVUser& user) {
    try {
        SecureEnclave::users().retrieveKeyPair(user.uniqueID());
        return true;
    } catch (const SVError&) {
        return false;
    }
}

TEST_F(ManagersTest, SecretsInLogLinesNeedBothDebugAndKeys) {
    StandinServer server;
    struct Case {
        SVLoggingOptions options;
        bool secretsShown;
    };
    for (const Case& c : {Case{SVLoggingOptions::debug, false},
                          Case{SVLoggingOptions::debug | SVLoggingOptions::keys, true}}) {
        SVSDK::setLogLevel(c.options);
        platform_.log().clear();
        activatedUser(server);
        auto login = server.addLogin({{"user_id", issued_.userID}, {"system_id", issued_.systemID}});
        SVLogin::importFromJSON(login["qr"].get<std::string>());
        for (const std::string& secret : std::vector<std::string>{issued_.qr, issued_.activationCode, login["qr"].get<std::string>()})
            EXPECT_EQ(platform_.log().anyContains(secret), c.secretsShown) << secret;
        if (!c.secretsShown) {
            EXPECT_TRUE(platform_.log().contains(SVLogCategory::users, "Activating the user using code: "));
            EXPECT_TRUE(platform_.log().contains(SVLogCategory::users, "Importing a user from string: "));
            EXPECT_TRUE(platform_.log().contains(SVLogCategory::debug, "Importing QR code from source: "));
        }
    }
    SVSDK::setLogLevel(std::nullopt);
}

TEST_F(ManagersTest, RegistrationThatCannotMakeAKeyPairFailsAndSendsNothing) {
    StandinServer server;
    auto user = activatedUser(server, {{"encrypted", false}});
    refuseKeyInserts(platform_.configuration().keychainPath.empty() ? platform_.dir().file("keychain.sqlite")
                                                                    : platform_.configuration().keychainPath);
    Recorder<void> recorder;
    SVUsersManager::registerUser(user, "token-x", recorder.completion());
    ASSERT_TRUE(recorder.called());  // before returning
    auto result = recorder.wait();
    ASSERT_FALSE(result.ok());
    EXPECT_TRUE(result.error().is(SVError::Code::secureEnclaveError)) << result.error().description();
    EXPECT_EQ(requestsOf(server, issued_.userID), 0);
    EXPECT_FALSE(HandlesManager::shared().handle(HandleType::deviceToken, user));
}

TEST_F(ManagersTest, LoginTransactionWithUndownloadedBinaryDataIsRefused) {
    StandinServer server;
    auto user = storedUser(server);
    auto session = server.addLogin({{"user_id", issued_.userID}, {"system_id", issued_.systemID}});
    SVLogin login = SVLogin::importFromJSON(session["qr"].get<std::string>());
    SVTransaction pending(session["transaction_id"].get<std::string>(), issued_.userID, issued_.systemID, 0, false,
                          SVConfirmationType::online, std::string("Log in"), std::nullopt, SVTransaction::TextRenderType::raw,
                          std::nullopt, std::string("http://127.0.0.1:1/binary"));
    for (bool confirming : {true, false}) {
        Recorder<void> recorder;
        if (confirming)
            login.confirm(pending, user, recorder.completion());
        else
            login.decline(pending, user, recorder.completion());
        ASSERT_TRUE(recorder.called());
        EXPECT_TRUE(recorder.wait().error().is(SVError::Code::binaryDataIsRequired));
    }
    EXPECT_EQ(server.transactionState(session["transaction_id"].get<std::string>())["state"], "pending");
}

TEST_F(ManagersTest, RemovedUserIsNotBroughtBackByLaterSteps) {
    StandinServer server;
    auto user = storedUser(server);
    SVUsersManager::deleteUser(user);
    ASSERT_TRUE(SVUsersManager::users().empty());

    // Registration of the removed user: no key pair for it, nothing sent.
    auto registered = completed<void>([&](auto c) { SVUsersManager::registerUser(user, "t", c); });
    ASSERT_FALSE(registered.ok());
    EXPECT_TRUE(registered.error().is(SVError::Code::userNotFound)) << registered.error().description();
    EXPECT_FALSE(hasSigningPair(user));

    // A renewal whose user is removed while it runs: the row is already gone
    // (the key pairs go right after it), the server still answers, and the
    // renewal's store step finds no user and writes nothing.
    auto second = storedUser(server);
    ASSERT_TRUE(completed<void>([&](auto c) { SVUsersManager::registerUser(second, std::nullopt, c); }).ok());
    SVUsersManager::submit(password_, second);
    const auto oldKey = second.publicKey();
    CoreDataManager::shared().performTransaction([&](StoreContext& context) {
        context.remove(context.fetchUserEntity(second.storageID()).value());
    });
    auto renewed = completed<void>([&](auto c) { SVUsersManager::renew(second, c); });
    ASSERT_FALSE(renewed.ok());
    EXPECT_TRUE(renewed.error().is(SVError::Code::userNotFound)) << renewed.error().description();
    EXPECT_TRUE(SVUsersManager::users().empty());
    EXPECT_EQ(second.publicKey(), oldKey);  // the renewal's new pair was not swapped in

    // Storing the value read from the store does not bring it back either.
    EXPECT_THROW(SVUsersManager::store(user, std::string("again"), password_), SVError);
    EXPECT_TRUE(SVUsersManager::users().empty());
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
            bool unset = !CoreDataManager::shared().databaseURL();
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
            std::exit(unset && refused && SVUsersManager::users().empty() ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST_F(ManagersTest, ExtensionStartUpRecordsItsHostAndProbesNothing) {
    StandinServer server;
    auto user = storedUser(server);
    const int before = static_cast<int>(server.requests().size());
    SVSDK::initialize(platform_.dir().file("managers.sqlite"), std::string("group.x"),
                      SVSDK::Mode::extension("org.example.main"));
    EXPECT_EQ(SVSDK::hostBundleIdentifier(), "org.example.main");
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(static_cast<int>(server.requests().size()), before);
    SVSDK::initialize(platform_.dir().file("managers.sqlite"), std::nullopt, SVSDK::Mode::app());
    EXPECT_EQ(SVSDK::hostBundleIdentifier(), "org.svsdk.tests");
}

TEST_F(ManagersTest, LocalChecksFailBeforeReturningAndContactNobody) {
    StandinServer server;
    auto user = storedUser(server, {{"flags", 0x3}});  // no autosign, no scoring
    SVTransaction bare("t1", issued_.userID, issued_.systemID, 0, false, SVConfirmationType::online,
                       std::string("x"));
    SVTransaction pending("t2", issued_.userID, issued_.systemID, 0, false, SVConfirmationType::online,
                          std::string("x"), std::nullopt, SVTransaction::TextRenderType::raw, std::nullopt,
                          std::string("http://127.0.0.1:1/b"));
    SVScoringParameters<int> parameters("p", 1);
    struct Case {
        const char* name;
        std::function<void(SVCompletion)> run;
        SVError::Code expected;
    };
    const int before = requestsOf(server, issued_.userID);
    std::vector<Case> cases{
        {"sign", [&](SVCompletion c) { SVTransactionsManager::sign(pending, user, c); }, SVError::Code::binaryDataIsRequired},
        {"sign with scoring", [&](SVCompletion c) { SVTransactionsManager::sign(pending, user, parameters, c); },
         SVError::Code::binaryDataIsRequired},
        {"decline", [&](SVCompletion c) { SVTransactionsManager::decline(pending, user, c); }, SVError::Code::binaryDataIsRequired},
        {"binary data", [&](SVCompletion c) { SVTransactionsManager::getTransactionBinaryData(bare, user, voidOf(c)); },
         SVError::Code::binaryDataIsUnavaiable},
        {"autosign registration", [&](SVCompletion c) { SVAutoSigner::registerToAutosign(user, c); },
         SVError::Code::autosignUnavailable},
        {"autosign", [&](SVCompletion c) { SVAutoSigner::autosign(bare, user, parameters, c); },
         SVError::Code::autosignUnavailable},
        {"scoring settings", [&](SVCompletion c) { SVAutoSigner::getScoringSettings<int>(user, voidOf(c)); },
         SVError::Code::scoringUnavailable},
    };
    for (const auto& c : cases) {
        Recorder<void> recorder;
        c.run(recorder.completion());
        ASSERT_EQ(recorder.calls(), 1) << c.name;
        auto result = recorder.wait();
        EXPECT_TRUE(!result.ok() && result.error().is(c.expected)) << c.name;
    }
    EXPECT_THROW(SVTransactionsManager::signOffline(pending, user), SVError);
    EXPECT_THROW(SVTransactionsManager::declineOffline(pending, user), SVError);
    EXPECT_EQ(requestsOf(server, issued_.userID), before);
}

TEST_F(ManagersTest, EveryOperationCallsItsCompletionOnceOnEveryFailurePath) {
    StandinServer server;
    auto stored = storedUser(server);
    // A user whose server cannot be reached (no interactor can be made), and
    // one without kAuth anywhere (the request cannot be built).
    SVUser unreachable("u-x", freshSystemID("gone"), stored.options(), "http://127.0.0.1:1", std::nullopt,
                       std::nullopt, std::nullopt, std::nullopt, {}, 180, 180, "gone-storage", 3,
                       UserKeysContent::storedEncrypted(), 2000000000);
    SVUser keyless("u-y", issued_.systemID, stored.options(), server.baseURL(), std::nullopt, std::nullopt,
                   std::nullopt, std::nullopt, {}, 180, 180, "keyless-storage", 3,
                   UserKeysContent::importedEncrypted(Bytes(64, 1)), 2000000000);
    SVTransaction transaction("t", "u", "s", 0, false, SVConfirmationType::online, std::string("x"),
                              Bytes{1, 2}, SVTransaction::TextRenderType::raw, std::nullopt,
                              std::string("http://127.0.0.1:1/b"));
    SVTransaction undownloaded("t", "u", "s", 0, false, SVConfirmationType::online, std::string("x"),
                               std::nullopt, SVTransaction::TextRenderType::raw, std::nullopt,
                               server.baseURL() + "/binary");
    SVCodewordExtendedAuth codeword("word");
    auto login = SVLogin::decode(
        nlohmann::json{{"sid", "s"}, {"sysId", "x"}, {"type", "login"}, {"expires", 4e9}, {"pulp", "AQI="},
                       {"loqUrl", "http://127.0.0.1:1/login"}});
    SVScoringParameters<int> parameters("p", 1);
    std::vector<std::pair<const char*, std::function<void(const SVUser&, SVCompletion)>>> operations{
        {"register", [](const SVUser& u, SVCompletion c) { SVUsersManager::registerUser(u, "tok", c); }},
        {"template", [&](const SVUser& u, SVCompletion c) { SVUsersManager::registerExtAuthTemplate(u, codeword, c); }},
        {"renew", [](const SVUser& u, SVCompletion c) { SVUsersManager::renew(u, c); }},
        {"list", [&](const SVUser& u, SVCompletion c) { SVTransactionsManager::getTransactionList(u, voidOf(c)); }},
        {"fetch", [&](const SVUser& u, SVCompletion c) { SVTransactionsManager::getTransaction("t", u, voidOf(c)); }},
        {"binary",
         [&](const SVUser& u, SVCompletion c) {
             SVTransactionsManager::getTransactionBinaryData(undownloaded, u, voidOf(c));
         }},
        {"sign", [&](const SVUser& u, SVCompletion c) { SVTransactionsManager::sign(transaction, u, c); }},
        {"sign scored",
         [&](const SVUser& u, SVCompletion c) { SVTransactionsManager::sign(transaction, u, parameters, c); }},
        {"decline", [&](const SVUser& u, SVCompletion c) { SVTransactionsManager::decline(transaction, u, c); }},
        {"login request", [&](const SVUser& u, SVCompletion c) { login.requestLoginTransaction(u, voidOf(c)); }},
        {"login confirm", [&](const SVUser& u, SVCompletion c) { login.confirm(transaction, u, c); }},
        {"login decline", [&](const SVUser& u, SVCompletion c) { login.decline(transaction, u, c); }},
        {"autosign registration", [](const SVUser& u, SVCompletion c) { SVAutoSigner::registerToAutosign(u, c); }},
        {"scoring", [&](const SVUser& u, SVCompletion c) { SVAutoSigner::getScoringSettings<int>(u, voidOf(c)); }},
    };
    for (const auto* user : {&unreachable, &keyless})
        for (const auto& [name, run] : operations)
            expectOneFailedCompletion(std::string(name) + " " + user->userID(),
                                      [&](SVCompletion c) { run(*user, c); });
    // A completion that throws is called once and stops nothing.
    int calls = 0;
    SVTransactionsManager::sign(transaction, unreachable, [&](const SVResult<void>&) {
        ++calls;
        throw std::runtime_error("host fault");
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(calls, 1);
}

TEST_F(ManagersTest, OperationsALegacyServerDoesNotOfferCompleteOnceWithAFailure) {
    StandinServer server(2);
    auto user = storedUser(server);
    SVCodewordExtendedAuth codeword("word");
    auto login = SVLogin::decode(nlohmann::json{{"sid", "s"}, {"sysId", user.systemID()}, {"type", "login"},
                                                {"expires", 4e9}, {"pulp", "AQI="},
                                                {"loqUrl", server.baseURL() + "/login/client/getTransactionId"}});
    std::vector<std::pair<const char*, std::function<void(SVCompletion)>>> operations{
        {"template", [&](SVCompletion c) { SVUsersManager::registerExtAuthTemplate(user, codeword, c); }},
        {"renew", [&](SVCompletion c) { SVUsersManager::renew(user, c); }},
        {"login request", [&](SVCompletion c) { login.requestLoginTransaction(user, voidOf(c)); }},
        {"autosign registration", [&](SVCompletion c) { SVAutoSigner::registerToAutosign(user, c); }},
        {"scoring", [&](SVCompletion c) { SVAutoSigner::getScoringSettings<int>(user, voidOf(c)); }},
        {"autosign list", [&](SVCompletion c) { SVAutoSigner::getAutosignTransactionsList(user, voidOf(c)); }},
    };
    for (const auto& [name, run] : operations) expectOneFailedCompletion(name, run);
}

TEST_F(ManagersTest, ActivationAndPasswordRules) {
    StandinServer server;
    auto issued = server.issueUser({{"system_id", freshSystemID("act")}});
    auto encrypted = SVUsersManager::importUser(issued.qr).value();
    EXPECT_FALSE(HandlesManager::shared().handle(HandleType::auth, encrypted));
    EXPECT_THROW(SVUsersManager::activate(encrypted, ""), SVError);
    EXPECT_THROW(SVUsersManager::activate(encrypted, issued.activationCode + "1"), SVError);
    EXPECT_FALSE(HandlesManager::shared().handle(HandleType::hmac, encrypted));

    auto plain = server.issueUser({{"system_id", freshSystemID("act")}, {"encrypted", false}});
    auto clear = SVUsersManager::importUser(plain.qr).value();
    EXPECT_TRUE(HandlesManager::shared().handle(HandleType::auth, clear));
    EXPECT_NO_THROW(SVUsersManager::activate(clear, ""));  // nothing to decrypt
    EXPECT_FALSE(SVUsersManager::importUser("no user here"));

    auto user = storedUser(server);
    EXPECT_EQ(thrownCode([&] { SVUsersManager::submit("", user); }), SVError::Code::invalidPassword);
    EXPECT_EQ(thrownCode([&] { SVUsersManager::submit("wrong", user); }), SVError::Code::invalidPassword);
    // Exactly one password-incorrect event, for the wrong password only.
    for (int i = 0; i < 100; ++i) {
        if (!server.userState(issued_.systemID, issued_.userID)["events"].empty()) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(server.userState(issued_.systemID, issued_.userID)["events"],
              (nlohmann::json{"password_incorrect"}));
}

TEST_F(ManagersTest, RegistrationSendsOnlyWhatChanged) {
    StandinServer server;
    auto user = storedUser(server);
    SVSDK::setLogLevel(SVLoggingOptions::debug);
    ASSERT_TRUE(completed<void>([&](auto c) { SVUsersManager::registerUser(user, "tok-1", c); }).ok());
    auto first = server.userState(issued_.systemID, issued_.userID);
    EXPECT_EQ(first["public_key"], user.publicKey().value());
    // The same token again and a pair that exists: neither is sent.
    SVUsersManager::store(user, std::nullopt, std::nullopt);
    user = SVUsersManager::users().front();
    platform_.log().clear();
    auto again = completed<void>([&](auto c) { SVUsersManager::registerUser(user, "tok-1", c); });
    ASSERT_TRUE(again.ok()) << again.error().description();
    EXPECT_TRUE(platform_.log().contains(SVLogCategory::users, "- Device Token: -"));
    EXPECT_FALSE(HandlesManager::shared().handle(HandleType::deviceToken, user));
    EXPECT_EQ(server.userState(issued_.systemID, issued_.userID)["public_key"], first["public_key"]);
    SVSDK::setLogLevel(std::nullopt);
}

TEST_F(ManagersTest, FailedRegistrationRemovesThePairAndTheTokenItAdded) {
    std::optional<SVUser> user;
    {
        StandinServer gone;
        user = storedUser(gone);
        // The server's version is known.
        ASSERT_TRUE(completed<void>([&](auto c) { SVTransactionsManager::getTransactionList(*user, voidOf(c)); }).ok());
    }
    auto result = completed<void>([&](auto c) { SVUsersManager::registerUser(*user, "tok-2", c); });
    ASSERT_FALSE(result.ok());
    EXPECT_TRUE(result.error().is(SVNetworkError::Code::serverDoesNotRespond)) << result.error().description();
    EXPECT_FALSE(hasSigningPair(*user));
    EXPECT_FALSE(HandlesManager::shared().handle(HandleType::deviceToken, *user));
}


// The address space of this process in bytes.
std::size_t addressSpace() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmSize:", 0) == 0) return std::stoul(line.substr(7)) << 10;
    return 0;
}

// Each import runs in a child whose address space may grow by a few times its
// text and a fixed allowance: an import that kept a record per character or per
// line, or a copy per query item, dies there or meets std::bad_alloc. With the
// allowance alone even one copy of the text fails, and the import gives nothing
// (logged) instead of throwing.
TEST(ImportBoundsTest, AnImportHoldsASmallMultipleOfItsTextAndNeverThrows) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "a sanitizer reserves more address space than any limit allows";
#endif
    constexpr std::size_t kUnits = 16 << 20;
    constexpr std::size_t kAllowance = 32 << 20, kTightAllowance = 4 << 20;
    auto repeated = [](const std::string& head, const std::string& unit, const std::string& tail) {
        std::string text;
        text.reserve(head.size() + kUnits / unit.size() * unit.size() + tail.size());
        text += head;
        for (std::size_t i = 0; i < kUnits / unit.size(); ++i) text += unit;
        text += tail;
        return text;
    };
    const std::string userLines = "201\nSYS\nuser-1\n\n" + std::string(128, 'a') + "\n31.12.2030\n7\n\nhttps://h\n";
    std::string userJSON;  // percent-encoded
    for (char c : std::string(R"({"user_id":"u-1","system_id":"S","key_flags":2,"expiration_timestamp":1900000000,)"
                              R"("encrypted_key_content":"AAECAw==","sv_external_url":"https://h","sv_key_version":3})")) {
        char escape[4];
        std::snprintf(escape, sizeof escape, "%%%02X", static_cast<unsigned char>(c));
        userJSON += escape;
    }
    const std::string userXML = "<keyData><systemId>S</systemId><userId>user-1</userId><expDate>31.12.2030</expDate>"
                                "<encryptedKey>AAECAw==</encryptedKey><interactionExternalURL>https://h"
                                "</interactionExternalURL><pad>";
    auto userID = [](const std::optional<SVUser>& user) { return user ? user->userID() : "nothing"; };
    auto textSize = [](const std::optional<SVTransaction>& t) { return t ? std::to_string(t->text().value_or("").size()) : "nothing"; };
    auto qrType = [](SVQRType type) { return std::to_string(static_cast<int>(type)); };
    const std::string none = qrType(SVQRType::none), transaction = qrType(SVQRType::transaction);
    const std::string kUnitsText = std::to_string(kUnits);
    struct Case {
        const char* name;
        std::function<std::string()> text;  // made in the child
        std::function<std::string(const std::string&)> import;
        std::string expected;
        bool tight = false;  // the allowance alone; the import must fail inside
    } cases[] = {
        {"201 text and many lines", [&] { return repeated(userLines, "x\n", ""); },
         [&](auto& t) { return userID(SVUsersManager::importUser(t)); }, "user-1"},
        {"deep link with many items", [&] { return repeated("svsdk://user_key?", "a=b&", "key_json=" + userJSON); },
         [&](auto& t) { return userID(SVUsersManager::importUser(t)); }, "u-1"},
        {"deep link, tight", [&] { return repeated("svsdk://user_key?", "a=b&", "key_json=" + userJSON); },
         [&](auto& t) { return userID(SVUsersManager::importUser(t)); }, "nothing", true},
        {"deep link of many slashes", [&] { return repeated("svsdk://user_key/", "/", "?key_json=" + userJSON); },
         [&](auto& t) { return userID(SVUsersManager::importUser(t)); }, "u-1"},
        {"XML scanned", [&] { return repeated(userXML, "x", "</pad></keyData>"); },
         [&](auto& t) { return userID(SVUsersManager::importUser(t)); }, "user-1"},
        {"carriage returns", [&] { return repeated("203", "\r", ""); },
         [&](auto& t) { return textSize(SVTransactionsManager::importTransaction(t)); }, "nothing"},
        {"203 text", [&] { return repeated("203\nS\nu\nt\n1\n6\n", "x", ""); },
         [&](auto& t) { return textSize(SVTransactionsManager::importTransaction(t)); }, kUnitsText},
        {"203 text, tight", [&] { return repeated("203\nS\nu\nt\n1\n6\n", "x", ""); },
         [&](auto& t) { return textSize(SVTransactionsManager::importTransaction(t)); }, "nothing", true},
        {"JSON-shaped", [&] { return repeated("{", "x", "}"); },
         [&](auto& t) { return qrType(SVSDK::analyze(t)); }, none},
        {"XML analyzed", [&] { return repeated(userXML, "x", "</pad></keyData>"); },
         [&](auto& t) { return qrType(SVSDK::analyze(t)); }, qrType(SVQRType::user)},
        {"JSON transaction", [&] { return repeated(R"({"transaction_id":")", "x", R"("})"); },
         [&](auto& t) { return qrType(SVSDK::analyze(t)); }, transaction},
        {"JSON transaction, tight", [&] { return repeated(R"({"transaction_id":")", "x", R"("})"); },
         [&](auto& t) { return qrType(SVSDK::analyze(t)); }, none, true},
    };
    for (const auto& c : cases) {
        ScopedPlatform platform(c.tight ? SVLoggingOptions::debug : SVLoggingOptions{});
        pid_t child = fork();
        ASSERT_NE(child, -1);
        if (child == 0) {
            std::string text = c.text();
            rlimit limit{};
            limit.rlim_cur = limit.rlim_max =
                addressSpace() + (c.tight ? kTightAllowance : 4 * text.size() + kAllowance);
            if (setrlimit(RLIMIT_AS, &limit) != 0) _exit(3);
            try {
                std::string result = c.import(text);
                bool logged = !c.tight || platform.log().anyContains("std::bad_alloc");
                _exit(result == c.expected && logged ? 0 : 1);
            } catch (...) {
                _exit(2);
            }
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
            << c.name << (WIFSIGNALED(status) ? ": killed by signal " + std::to_string(WTERMSIG(status))
                          : WEXITSTATUS(status) == 2 ? ": threw"
                          : WEXITSTATUS(status) == 1 ? ": wrong result or no log line"
                                                     : ": exit " + std::to_string(WEXITSTATUS(status)));
    }
}

}  // namespace
}  // namespace svsdk::testing
