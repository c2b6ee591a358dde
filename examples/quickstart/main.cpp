// The smallest useful host: one user from its QR text to a transaction signed
// at the server and an offline confirmation code. The server is the stand-in
// signing server on 127.0.0.1:PORT; what the bank's side does (issue the
// user, put a transaction in wait) goes through the stand-in's admin calls,
// everything else is what a host application does.
//
//   svsdk_quickstart PORT DATA_FOLDER
#include <httplib.h>  // the stand-in's admin calls only

#include <future>
#include <iostream>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <svsdk/Common/SVSDK.h>             // SVSDK::initialize
#include <svsdk/SVPlatformConfiguration.h>  // SVPlatform::configure
#include <svsdk/SVTransactionsManager.h>    // list, fetch, sign, offline confirmation; nlohmann/json.hpp
#include <svsdk/SVUsersManager.h>           // import, activate, store, register, unlock

using namespace svsdk;
using nlohmann::json;

namespace {

json admin(int port, const std::string& call, const json& body) {
    httplib::Client server("127.0.0.1", port);
    auto reply = server.Post("/admin/" + call, body.dump(), "application/json");
    if (!reply || reply->status != 200) throw std::runtime_error("the stand-in refused /admin/" + call);
    return json::parse(reply->body);
}

// Waits for an asynchronous operation: its value, or its error thrown.
template <class T, class Start>
auto await(Start start) {
    std::promise<SVResult<T>> promise;
    auto result = promise.get_future();
    start([&promise](const SVResult<T>& r) { promise.set_value(r); });
    return result.get().value();
}

SVUser storedUser(const std::string& userID) {
    for (auto& user : SVUsersManager::users())
        if (user.userID() == userID) return user;
    throw std::runtime_error("the user is not stored");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::cerr << "usage: svsdk_quickstart PORT DATA_FOLDER\n";
        return 2;
    }
    try {
        // The bank issues a user: a QR text and, apart from it, an activation code.
        const int port = std::stoi(argv[1]);
        json issued = admin(port, "users", {{"user_id", "alice"}});
        admin(port, "transactions", {{"user_id", "alice"}, {"text", "Pay 10.00 EUR to Example Shop"}});
        const std::string qrText = issued["qr"], activationCode = issued["activation_code"];

        SVPlatformConfiguration config;
        config.mainBundleIdentifier = "com.example.wallet";
        config.dataDirectory = argv[2];
        config.ntpServerHost = "";  // no network-time synchronisation (default: "pool.ntp.org")
        SVPlatform::configure(config);
        SVSDK::initialize(std::nullopt, std::nullopt, SVSDK::Mode::app());

        const std::string password = "correct horse";
        std::optional<SVUser> imported = SVUsersManager::importUser(qrText);
        if (!imported) throw std::runtime_error("the QR text holds no user");
        SVUsersManager::activate(*imported, activationCode);
        SVUsersManager::store(*imported, std::string("Alice"), password);
        SVUser user = storedUser(imported->userID());
        // Registration makes the user's signing key pair and sends its public key:
        // nothing can be signed, online or offline, before it.
        await<void>([&](auto done) { SVUsersManager::registerUser(user, std::nullopt, done); });
        SVUsersManager::submit(password, user);  // unlocks the keys, as at every later start
        std::cout << "registered " << user.userID() << " of " << user.systemID() << "\n";

        auto waiting = await<std::vector<std::string>>(
            [&](auto done) { SVTransactionsManager::getTransactionList(user, done); });
        if (waiting.empty()) throw std::runtime_error("no transaction waits");
        for (const std::string& id : waiting) {
            SVTransaction transaction =
                await<SVTransaction>([&](auto done) { SVTransactionsManager::getTransaction(id, user, done); });
            await<void>([&](auto done) { SVTransactionsManager::sign(transaction, user, done); });
            std::cout << "signed " << id << ": " << transaction.text().value_or("") << "\n";
        }

        // Offline: a transaction scanned from the bank's page, confirmed on the
        // device alone; the user types the short code into that page.
        std::optional<SVTransaction> scanned = SVTransactionsManager::importTransaction(
            "203\n" + user.systemID() + "\n" + user.userID() + "\noffline-1\n1\n6\nPay 25.00 EUR at the counter");
        if (!scanned) throw std::runtime_error("the QR text holds no transaction");
        SVConfirmation confirmation = SVTransactionsManager::signOffline(*scanned, user);
        std::cout << "offline confirmation code " << confirmation.shortConfirmationCode() << "\n";
    } catch (const std::exception& e) {
        std::cerr << "FAILED: " << e.what() << "\n";
        return 1;
    }
    return 0;
}
