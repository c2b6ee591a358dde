#pragma once
// The whole road of one user through the public managers, against the
// stand-in server: import the QR, activate, store with a password, register,
// list, fetch, sign (plain and with scoring parameters), decline, QR login,
// autosign registration and autosign, scoring settings, renewal, delete.
// Used by the end-to-end tests and the road benchmark. The first step that
// fails throws RoadFailure naming the step and holding its failure.
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include <svsdk/SVAutoSigner.h>
#include <svsdk/SVLogin.h>
#include <svsdk/SVTransactionsManager.h>
#include <svsdk/SVUsersManager.h>

#include "Core/Storing/StorageManager.h"
#include "support/Completion.h"
#include "support/StandinServer.h"

namespace svsdk::testing {

// The store stays open at its first location for the whole process: each
// test starts by removing what earlier ones stored.
inline void removeAllUsers() {
    for (const auto& user : SVUsersManager::users()) {
        try {
            StorageManager::shared().remove(user);  // their device key may be another test's
        } catch (...) {
            // a row that cannot be read is left
        }
    }
}

struct RoadFailure : std::runtime_error {
    RoadFailure(const std::string& step, std::optional<SVFailure> failure)
        : std::runtime_error(step + " failed" + (failure ? ": " + failure->description() : std::string())),
          step(step),
          failure(std::move(failure)) {}
    std::string step;
    std::optional<SVFailure> failure;
};

struct RoadReport {
    StandinServer::IssuedUser issued;
    std::string signedID, scoredID, declinedID, loginID, autosignedID;
    std::vector<std::string> steps;
};

// For each step: the step's name and a short result.
using RoadObserver = std::function<void(const std::string& step, const std::string& result)>;

// On a legacy server (`legacy`) QR login, autosign and renewal are not
// offered: those steps must fail with SVError::endpointUnavailable and the
// road goes on.
inline RoadReport runRoad(StandinServer& server, const std::string& systemID, const RoadObserver& observe = {},
                          bool legacy = false) {
    RoadReport report;
    auto done = [&](const std::string& step, const std::string& result) {
        report.steps.push_back(step);
        if (observe) observe(step, result);
    };
    auto check = [](const std::string& step, const auto& result) {
        if (!result.ok()) throw RoadFailure(step, result.error());
        return result;
    };
    // A step a legacy server does not offer.
    auto unavailable = [&](const std::string& step, const auto& result) {
        if (result.ok() || !result.error().is(SVError::Code::endpointUnavailable))
            throw RoadFailure(step + " (expected to be unavailable)",
                              result.ok() ? std::nullopt : std::optional(result.error()));
        done(step, "not offered by this server");
    };
    auto findStored = [](const std::string& userID) {
        for (auto& user : SVUsersManager::users())
            if (user.userID() == userID) return user;
        throw RoadFailure("find the stored user", std::nullopt);
    };
    const std::string password = "road-password-1";

    report.issued = server.issueUser({{"system_id", systemID}});
    const auto& issued = report.issued;
    auto imported = SVUsersManager::importUser(issued.qr);
    if (!imported) throw RoadFailure("import", std::nullopt);
    done("import", "user " + imported->userID());
    SVUsersManager::activate(*imported, issued.activationCode);
    done("activate", "ok");
    SVUsersManager::store(*imported, std::string("Road user"), password);
    SVUser user = findStored(issued.userID);
    done("store", "stored as \"" + user.name().value_or("") + "\"");

    check("register", completed<void>([&](auto c) { SVUsersManager::registerUser(user, "push-token-1", c); }));
    SVUsersManager::store(user, std::nullopt, std::nullopt);  // records the registered token
    user = findStored(issued.userID);
    done("register", "public key and push token registered");
    SVUsersManager::submit(password, user);
    done("unlock", "ok");

    report.signedID = server.addTransaction({{"user_id", issued.userID}, {"text", "Pay 10 EUR"}});
    report.scoredID = server.addTransaction({{"user_id", issued.userID}, {"text", "Pay 20 EUR"}});
    report.declinedID = server.addTransaction({{"user_id", issued.userID}, {"text", "Pay 30 EUR"}});
    auto list = check("list", completed<std::vector<std::string>>(
                                  [&](auto c) { SVTransactionsManager::getTransactionList(user, c); }))
                    .value();
    done("list", std::to_string(list.size()) + " waiting");
    auto fetch = [&](const std::string& id) {
        return check("fetch", completed<SVTransaction>(
                                  [&](auto c) { SVTransactionsManager::getTransaction(id, user, c); }))
            .value();
    };
    SVTransaction toSign = fetch(report.signedID);
    done("fetch", "\"" + toSign.text().value_or("") + "\"");
    check("sign", completed<void>([&](auto c) { SVTransactionsManager::sign(toSign, user, c); }));
    done("sign", "confirmed " + report.signedID);
    SVTransaction toScore = fetch(report.scoredID);
    SVScoringParameters<nlohmann::json> parameters("road-provider", {{"risk", 3}});
    check("sign with scoring",
          completed<void>([&](auto c) { SVTransactionsManager::sign(toScore, user, parameters, c); }));
    done("sign with scoring", "confirmed " + report.scoredID);
    SVTransaction toDecline = fetch(report.declinedID);
    check("decline", completed<void>([&](auto c) { SVTransactionsManager::decline(toDecline, user, c); }));
    done("decline", "declined " + report.declinedID);

    auto loginSession = server.addLogin({{"user_id", issued.userID}, {"text", "Log in"}});
    report.loginID = loginSession["transaction_id"].get<std::string>();
    SVLogin login = SVLogin::importFromJSON(loginSession["qr"].get<std::string>());
    if (legacy) {
        unavailable("QR login", completed<SVTransaction>([&](auto c) { login.requestLoginTransaction(user, c); }));
        unavailable("autosign registration",
                    completed<void>([&](auto c) { SVAutoSigner::registerToAutosign(user, c); }));
        unavailable("renew", completed<void>([&](auto c) { SVUsersManager::renew(user, c); }));
        SVUsersManager::deleteUser(user);
        done("delete", std::to_string(SVUsersManager::users().size()) + " users left");
        return report;
    }
    auto loginTransaction =
        check("QR login", completed<SVTransaction>([&](auto c) { login.requestLoginTransaction(user, c); })).value();
    check("QR login", completed<void>([&](auto c) { login.confirm(loginTransaction, user, c); }));
    done("QR login", "confirmed " + report.loginID);

    check("autosign registration", completed<void>([&](auto c) { SVAutoSigner::registerToAutosign(user, c); }));
    done("autosign registration", "autosign key registered");
    report.autosignedID = server.addTransaction({{"user_id", issued.userID}, {"autosign", true}});
    auto waiting = check("autosign", completed<std::vector<std::string>>(
                                         [&](auto c) { SVAutoSigner::getAutosignTransactionsList(user, c); }))
                       .value();
    if (waiting.empty()) throw RoadFailure("autosign", std::nullopt);
    SVTransaction toAutosign = fetch(waiting.front());
    check("autosign", completed<void>([&](auto c) { SVAutoSigner::autosign(toAutosign, user, parameters, c); }));
    done("autosign", "confirmed " + toAutosign.transactionID());

    check("renew", completed<void>([&](auto c) { SVUsersManager::renew(user, c); }));
    user = findStored(issued.userID);
    done("renew", "new keys stored and registered");

    SVUsersManager::deleteUser(user);
    done("delete", std::to_string(SVUsersManager::users().size()) + " users left");
    return report;
}

}  // namespace svsdk::testing
