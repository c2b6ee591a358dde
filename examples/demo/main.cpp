// The road of one user, as a host application runs it, against a signing
// server at 127.0.0.1 (the stand-in): the server side (issuing the user,
// adding transactions and a login session) goes through the stand-in's admin
// calls, everything on the device through the SDK's public managers.
//
//   svsdk_demo PORT DATA_FOLDER
#include <httplib.h>

#include <condition_variable>
#include <cstdlib>
#include <iostream>
#include <mutex>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include <svsdk/Common/SVSDK.h>
#include <svsdk/SVAutoSigner.h>
#include <svsdk/SVLogin.h>
#include <svsdk/SVPlatformConfiguration.h>
#include <svsdk/SVTransactionsManager.h>
#include <svsdk/SVUsersManager.h>

using namespace svsdk;
using nlohmann::json;

namespace {

int port = 0;

json admin(const std::string& path, const json& body) {
    httplib::Client client("127.0.0.1", port);
    auto result = client.Post(("/admin/" + path).c_str(), body.dump(), "application/json");
    if (!result || result->status != 200) throw std::runtime_error("the server refused /admin/" + path);
    return json::parse(result->body);
}

// Waits for an operation's completion and returns its result.
template <class T, class Start>
SVResult<T> wait(Start&& start) {
    std::mutex lock;
    std::condition_variable done;
    std::optional<SVResult<T>> result;
    start([&](const SVResult<T>& r) {
        std::lock_guard guard(lock);
        result.emplace(r);
        done.notify_all();
    });
    std::unique_lock guard(lock);
    done.wait(guard, [&] { return result.has_value(); });
    return *result;
}

void step(const std::string& name, const std::string& result) {
    std::cout << "  " << name << std::string(name.size() < 24 ? 24 - name.size() : 1, ' ') << result << std::endl;
}

template <class T>
const T& require(const std::string& name, const SVResult<T>& result) {
    if (!result.ok()) throw std::runtime_error(name + ": " + result.error().description());
    return result.value();
}

void require(const std::string& name, const SVResult<void>& result) {
    if (!result.ok()) throw std::runtime_error(name + ": " + result.error().description());
}

SVUser storedUser(const std::string& userID) {
    for (auto& user : SVUsersManager::users())
        if (user.userID() == userID) return user;
    throw std::runtime_error("the user is not stored");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::cerr << "usage: svsdk_demo PORT DATA_FOLDER\n";
        return 2;
    }
    port = std::atoi(argv[1]);
    SVPlatformConfiguration config;
    config.dataDirectory = argv[2];
    config.mainBundleIdentifier = "org.example.demo";
    config.ntpServerHost = "";  // the demo talks to 127.0.0.1 only
    SVPlatform::configure(config);
    SVSDK::initialize(std::nullopt, std::nullopt, SVSDK::Mode::app());
    std::cout << "svsdk " << SVSDK::version() << " against the signing server at 127.0.0.1:" << port << std::endl;

    try {
        const std::string password = "demo-password-1";
        json issued = admin("users", {{"system_id", "demo-system"}, {"user_id", "demo-user"}});
        auto user = SVUsersManager::importUser(issued["qr"].get<std::string>());
        if (!user) throw std::runtime_error("import: the QR text holds no user");
        step("import QR", "user " + user->userID() + " of system " + user->systemID());
        SVUsersManager::activate(*user, issued["activation_code"].get<std::string>());
        step("activate", "keys decrypted with the activation code");
        SVUsersManager::store(*user, std::string("Demo user"), password);
        SVUser stored = storedUser("demo-user");
        step("store", "stored as \"" + stored.name().value_or("") + "\" under a password");

        require("register", wait<void>([&](auto c) { SVUsersManager::registerUser(stored, "demo-push-token", c); }));
        SVUsersManager::store(stored, std::nullopt, std::nullopt);
        stored = storedUser("demo-user");
        step("register", "public key, push token and fingerprint sent");
        SVUsersManager::submit(password, stored);

        std::string first = admin("transactions", {{"user_id", "demo-user"}, {"text", "Pay 10.00 EUR to Shop"}})
                                .at("transaction_id").get<std::string>();
        std::string second = admin("transactions", {{"user_id", "demo-user"}, {"text", "Pay 99.00 EUR to Shop"}})
                                 .at("transaction_id").get<std::string>();
        std::string third = admin("transactions", {{"user_id", "demo-user"}, {"text", "Pay 5000 EUR to Unknown"}})
                                .at("transaction_id").get<std::string>();
        auto list = require("list", wait<std::vector<std::string>>(
                                        [&](auto c) { SVTransactionsManager::getTransactionList(stored, c); }));
        step("list", std::to_string(list.size()) + " transactions waiting");
        auto fetch = [&](const std::string& id) {
            return require("fetch", wait<SVTransaction>(
                                        [&](auto c) { SVTransactionsManager::getTransaction(id, stored, c); }));
        };
        SVTransaction transaction = fetch(first);
        step("fetch", transaction.transactionID() + ": \"" + transaction.text().value_or("") + "\"");
        require("sign", wait<void>([&](auto c) { SVTransactionsManager::sign(transaction, stored, c); }));
        step("sign", "confirmed " + first);
        SVScoringParameters<json> scoring("demo-provider", {{"risk", "low"}});
        SVTransaction scored = fetch(second);
        require("sign with scoring",
                wait<void>([&](auto c) { SVTransactionsManager::sign(scored, stored, scoring, c); }));
        step("sign with scoring", "confirmed " + second + " with provider \"demo-provider\"");
        SVTransaction declined = fetch(third);
        require("decline", wait<void>([&](auto c) { SVTransactionsManager::decline(declined, stored, c); }));
        step("decline", "declined " + third);

        json session = admin("logins", {{"user_id", "demo-user"}, {"text", "Log in to the web bank"}});
        SVLogin login = SVLogin::importFromJSON(session["qr"].get<std::string>());
        auto loginTransaction = require(
            "QR login", wait<SVTransaction>([&](auto c) { login.requestLoginTransaction(stored, c); }));
        require("QR login", wait<void>([&](auto c) { login.confirm(loginTransaction, stored, c); }));
        step("QR login", "session of system " + login.systemID() + " confirmed");

        require("autosign", wait<void>([&](auto c) { SVAutoSigner::registerToAutosign(stored, c); }));
        step("autosign registration", "autosign key registered");
        admin("transactions", {{"user_id", "demo-user"}, {"autosign", true}, {"text", "Monthly rent"}});
        auto waiting = require("autosign", wait<std::vector<std::string>>(
                                               [&](auto c) { SVAutoSigner::getAutosignTransactionsList(stored, c); }));
        for (const auto& id : waiting) {
            SVTransaction automatic = fetch(id);
            require("autosign", wait<void>([&](auto c) { SVAutoSigner::autosign(automatic, stored, scoring, c); }));
            step("autosign", "confirmed " + id + " with the autosign key");
        }

        require("renew", wait<void>([&](auto c) { SVUsersManager::renew(stored, c); }));
        stored = storedUser("demo-user");
        step("renew", "new keys stored and registered");

        SVUsersManager::deleteUser(stored);
        step("delete", std::to_string(SVUsersManager::users().size()) + " users left on the device");
    } catch (const std::exception& e) {
        std::cout << "FAILED: " << e.what() << std::endl;
        return 1;
    }
    std::cout << "the road is complete" << std::endl;
    return 0;
}
