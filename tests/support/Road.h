#pragma once
// The whole road of one user through the public managers against the stand-in
// server: import, activate, store, register, list, fetch, sign (plain and
// scored), decline, QR login, autosign registration and autosign, renewal,
// delete. On a legacy server (`legacy`) QR login, autosign and renewal must
// fail as endpointUnavailable. The first step that fails throws RoadFailure.
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include <svsdk/SVAutoSigner.h>
#include <svsdk/SVLogin.h>
#include <svsdk/SVTransactionsManager.h>
#include <svsdk/SVUsersManager.h>

#include "Core/Storing/StorageManager.h"
#include "support/StandinServer.h"

namespace svsdk::testing {

// A completion that counts its calls and lets a test (or benchmark) wait for the first result.
template <class T>
class Recorder {
    struct State {
        std::mutex lock;
        std::condition_variable changed;
        int calls = 0;
        std::optional<SVResult<T>> result;
    };
    std::shared_ptr<State> state_ = std::make_shared<State>();

public:
    SVResultCompletion<T> completion() const {
        return [state = state_](const SVResult<T>& result) {
            std::lock_guard guard(state->lock);
            if (!state->calls++) state->result.emplace(result);
            state->changed.notify_all();
        };
    }
    // The first result; throws when none comes within 20 s.
    SVResult<T> wait() const {
        std::unique_lock guard(state_->lock);
        if (!state_->changed.wait_for(guard, std::chrono::seconds(20), [&] { return state_->calls > 0; }))
            throw std::runtime_error("the completion was not called in time");
        return *state_->result;
    }
    int calls() const {
        std::lock_guard guard(state_->lock);
        return state_->calls;
    }
};

// Starts `operation(completion)` and waits for its result.
template <class T, class Operation>
SVResult<T> completed(Operation&& operation) {
    Recorder<T> recorder;
    operation(recorder.completion());
    return recorder.wait();
}

// The store stays open at its first location for the whole process: a test
// starts by removing what earlier ones stored (their device keys may differ).
inline void removeAllUsers() {
    for (const auto& user : SVUsersManager::users()) try {
            StorageManager::shared().remove(user);
        } catch (...) {  // a row that cannot be read is left
        }
}

struct RoadFailure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct RoadReport {
    StandinServer::IssuedUser issued;
    std::string signedID, scoredID, declinedID, loginID, autosignedID;
};

inline RoadReport runRoad(StandinServer& server, const std::string& systemID, bool legacy = false) {
    auto check = [](const std::string& step, auto result) {
        if (!result.ok()) throw RoadFailure(step + ": " + result.error().description());
        return result;
    };
    auto unavailable = [](const std::string& step, const auto& result) {
        if (result.ok() || !result.error().is(SVError::Code::endpointUnavailable)) throw RoadFailure(step + " was offered");
    };
    auto findStored = [](const std::string& userID) {
        for (auto& user : SVUsersManager::users())
            if (user.userID() == userID) return user;
        throw RoadFailure("the user was not stored");
    };
    RoadReport report;
    const auto& issued = report.issued = server.issueUser({{"system_id", systemID}});
    auto imported = SVUsersManager::importUser(issued.qr);
    if (!imported) throw RoadFailure("import");
    SVUsersManager::activate(*imported, issued.activationCode);
    SVUsersManager::store(*imported, std::string("Road user"), std::string("road-password-1"));
    SVUser user = findStored(issued.userID);
    check("register", completed<void>([&](auto c) { SVUsersManager::registerUser(user, "push-token-1", c); }));
    SVUsersManager::store(user, std::nullopt, std::nullopt);  // records the registered token
    user = findStored(issued.userID);
    SVUsersManager::submit("road-password-1", user);

    report.signedID = server.addTransaction({{"user_id", issued.userID}, {"text", "Pay 10 EUR"}});
    report.scoredID = server.addTransaction({{"user_id", issued.userID}, {"text", "Pay 20 EUR"}});
    report.declinedID = server.addTransaction({{"user_id", issued.userID}, {"text", "Pay 30 EUR"}});
    if (check("list", completed<std::vector<std::string>>([&](auto c) { SVTransactionsManager::getTransactionList(user, c); })).value().size() != 3)
        throw RoadFailure("list");
    auto fetch = [&](const std::string& id) {
        return check("fetch", completed<SVTransaction>([&](auto c) { SVTransactionsManager::getTransaction(id, user, c); })).value();
    };
    SVTransaction toSign = fetch(report.signedID), toScore = fetch(report.scoredID), toDecline = fetch(report.declinedID);
    SVScoringParameters<nlohmann::json> parameters("road-provider", {{"risk", 3}});
    check("sign", completed<void>([&](auto c) { SVTransactionsManager::sign(toSign, user, c); }));
    check("sign scored", completed<void>([&](auto c) { SVTransactionsManager::sign(toScore, user, parameters, c); }));
    check("decline", completed<void>([&](auto c) { SVTransactionsManager::decline(toDecline, user, c); }));

    auto session = server.addLogin({{"user_id", issued.userID}, {"text", "Log in"}});
    report.loginID = session["transaction_id"].get<std::string>();
    SVLogin login = SVLogin::importFromJSON(session["qr"].get<std::string>());
    auto loginTransaction = completed<SVTransaction>([&](auto c) { login.requestLoginTransaction(user, c); });
    auto autosignRegistration = completed<void>([&](auto c) { SVAutoSigner::registerToAutosign(user, c); });
    if (legacy) {
        unavailable("QR login", loginTransaction);
        unavailable("autosign registration", autosignRegistration);
        unavailable("renew", completed<void>([&](auto c) { SVUsersManager::renew(user, c); }));
        SVUsersManager::deleteUser(user);
        return report;
    }
    check("QR login", completed<void>([&](auto c) { login.confirm(check("QR login", loginTransaction).value(), user, c); }));
    check("autosign registration", autosignRegistration);
    report.autosignedID = server.addTransaction({{"user_id", issued.userID}, {"autosign", true}});
    auto waiting = check("autosign list", completed<std::vector<std::string>>(
                                              [&](auto c) { SVAutoSigner::getAutosignTransactionsList(user, c); })).value();
    if (waiting.empty()) throw RoadFailure("autosign list");
    check("autosign", completed<void>([&](auto c) { SVAutoSigner::autosign(fetch(waiting.front()), user, parameters, c); }));
    check("renew", completed<void>([&](auto c) { SVUsersManager::renew(user, c); }));
    SVUsersManager::deleteUser(findStored(issued.userID));
    return report;
}

}  // namespace svsdk::testing
