#pragma once
// What the stand-in signing server knows and how it answers: issued users
// with their keys, what devices registered, transactions and their outcome,
// and the checks every client request passes. Independent of the HTTP
// library: the program feeds it method, raw target, headers and body.
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "Crypto.h"

namespace standin {

struct Reply {
    int status = 200;
    std::string contentType = "application/json";
    std::string body;
};

// Header names in lower case.
using Headers = std::map<std::string, std::string>;

class Service {
public:
    // `apiVersion`: 3 for the resource protocol, 1 or 2 for the legacy one.
    explicit Service(int apiVersion);

    // "http://127.0.0.1:PORT", once the port is known; goes into issued users,
    // binary-data URLs and login codes.
    void setBaseURL(std::string baseURL);

    // Thread-safe; never throws.
    Reply handle(const std::string& method, const std::string& target, const Headers& headers, const std::string& body);

private:
    struct User {
        std::string systemID, userID;
        Bytes kHMAC, kAuth;
        std::int64_t flags = 0;
        double confirmationStep = 180, authorizationStep = 180;
        double expiration = 0;
        std::string activationCode;
        std::optional<std::string> publicKey, fingerprint, autosignPublicKey, deviceID;
        nlohmann::json pushAddress;  // null until registered
        int registrations = 0, renewals = 0;
        std::vector<std::string> events;
        nlohmann::json templates = nlohmann::json::array();
        std::optional<Bytes> renewalChallenge;
    };
    struct Transaction {
        std::string id, systemID, userID;
        std::optional<std::string> text;
        std::optional<Bytes> binary;
        bool binaryViaURL = false;
        std::int64_t codeLength = 6;
        std::string confirmType = "PUSH";
        bool autosign = false;
        // A login transaction: reached through its session, signed with the
        // session's pulp after the binary data, until `expires`.
        bool login = false;
        std::string sessionID;
        Bytes pulp;
        double expires = 0;
        std::string state = "pending";  // "confirmed", "declined"
        nlohmann::json outcome = nlohmann::json::object();
    };
    struct Refusal {
        int status;
        int code;
        std::string message;
    };
    Reply dispatch(const std::string& method, const std::vector<std::string>& path, const Headers& headers,
                   const std::string& body);
    Reply admin(const std::string& method, const std::vector<std::string>& path, const std::string& body);
    Reply probe(const std::vector<std::string>& path) const;
    Reply resource(const std::string& method, const std::vector<std::string>& path, const Headers& headers,
                   const std::string& body);
    Reply binaryData(const std::vector<std::string>& path, const Headers& headers, const std::string& body);
    Reply loginTransactionID(const std::string& body);
    Reply legacy(const Headers& headers, const std::string& body);

    // Resource-protocol operations on an authenticated user.
    Reply registerDevice(User& user, const nlohmann::json& body);
    Reply renewalChallenge(User& user);
    Reply renewalResponse(User& user, const nlohmann::json& body);
    Reply confirm(User& user, Transaction& transaction, const nlohmann::json& body, const std::string& via);
    Reply autosign(User& user, Transaction& transaction, const nlohmann::json& body);
    Reply decline(User& user, Transaction& transaction, const nlohmann::json& body);

    // Legacy "auth_code": the HMAC under kAuth of `block` at one of the
    // accepted steps of the user's authorization step.
    void checkAuthCode(const User& user, const nlohmann::json& request,
                       const std::function<Bytes(std::uint64_t)>& block) const;

    User& userAt(const std::string& systemID, const std::string& userID);
    User* findUser(const std::string& userID);
    Transaction& transactionOf(const User& user, const std::string& id, bool forSigning);
    void checkSigningHeader(const User& user, const Headers& headers, const std::string& name,
                            const std::string& body) const;
    // The content signed for a transaction (item 17): text, binary data,
    // login pulp, then the decline reason when given.
    Bytes content(const Transaction& transaction, const std::optional<std::string>& declineReason) const;
    // The confirmation block (17, 18, 19 with the fingerprint option, 20) at
    // every accepted step whose HMAC under kHMAC is `code`; refuses otherwise.
    Bytes matchingConfirmationBlock(const User& user, const Bytes& content, const nlohmann::json& code) const;
    // The step numbers accepted now: the current one and its neighbours.
    std::vector<std::uint64_t> acceptedSteps(double step) const;
    nlohmann::json transactionData(const Transaction& transaction, bool legacyForm) const;
    std::vector<std::string> pendingIDs(const User& user, bool autosignList) const;

    nlohmann::json issueUser(const nlohmann::json& request);
    nlohmann::json addTransaction(const nlohmann::json& request, bool login);
    nlohmann::json userState(const User& user) const;
    nlohmann::json userJSON(const User& user, const Bytes& encryptedKeys) const;

    const int apiVersion_;
    std::mutex lock_;
    std::string baseURL_ = "http://127.0.0.1";
    std::map<std::pair<std::string, std::string>, User> users_;
    std::map<std::string, Transaction> transactions_;
    nlohmann::json scoringSettings_;
    std::deque<nlohmann::json> requestLog_;
    std::uint64_t serial_ = 0;
};

}  // namespace standin
