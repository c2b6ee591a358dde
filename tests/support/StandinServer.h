#pragma once
// The stand-in signing server (svsdk_standin_server, or $SVSDK_STANDIN_SERVER)
// as a child process on a free 127.0.0.1 port, with its admin calls. It is
// stopped with this object, and gets SIGTERM when the thread that made it ends.
#include <sys/types.h>

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>

namespace svsdk::testing {

class StandinServer {
public:
    struct IssuedUser {
        std::string systemID, userID;
        std::int64_t flags = 0;
        std::string qr, activationCode;  // the plain-text user, its keys under the code
        std::string kHMAC, kAuth;        // lowercase hex
    };
    using json = nlohmann::json;

    // Speaks `apiVersion` (3, 2 or 1); throws when it does not start listening.
    explicit StandinServer(int apiVersion = 3);
    ~StandinServer();
    StandinServer(const StandinServer&) = delete;
    StandinServer& operator=(const StandinServer&) = delete;

    std::string baseURL() const { return "http://127.0.0.1:" + std::to_string(port_); }

    // Options: "system_id", "user_id", "flags" (1539), "activation_code", "encrypted".
    IssuedUser issueUser(const json& options = json::object());
    // Options: "user_id", "system_id", "text", "binary_data", "autosign", ...; the identifier.
    std::string addTransaction(const json& options) { return admin("POST", "transactions", options).at("transaction_id"); }
    // A login session with its transaction: {"qr", "session_id", "transaction_id"}.
    json addLogin(const json& options) { return admin("POST", "logins", options); }
    void setScoringSettings(const json& settings) { admin("POST", "scoring", settings); }
    // What the user registered: "public_key", "fingerprint", "autosign_public_key",
    // "push_address", "registrations", "renewals", "events", ...
    json userState(const std::string& system, const std::string& user) const { return admin("GET", "users/" + system + "/" + user); }
    // "state" (pending, confirmed, declined) and "outcome" (what the client sent, "via").
    json transactionState(const std::string& id) const { return admin("GET", "transactions/" + id); }
    // Every client request: "method", "path", "status", "body", "error_code".
    json requests() const { return admin("GET", "requests"); }
    // An admin call below "/admin/"; throws on a status other than 200.
    json admin(const std::string& method, const std::string& path, const json& body = json::object()) const;

private:
    void stop();
    int port_ = 0;
    pid_t pid_ = -1;
};

}  // namespace svsdk::testing
