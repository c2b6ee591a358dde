#pragma once
// The stand-in signing server (svsdk_standin_server) as a child process on a
// free 127.0.0.1 port, with its admin calls: issue a user, add a transaction
// or a login session, set the scoring settings, read back what a user
// registered, what became of a transaction, and every client request with its
// outcome. The server is stopped when this object goes (and dies with the
// test process).
//
// The program is taken from $SVSDK_STANDIN_SERVER when set, otherwise from
// the build tree. The server gets SIGTERM when the thread that made this
// object ends, so make it on a thread that outlives its use.
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
        // The nine-line plain-text user, its key content protected under
        // `activationCode`.
        std::string qr;
        std::string activationCode;
        // The same user as its JSON record.
        std::string userJSON;
        // The user's keys, lowercase hex.
        std::string kHMAC, kAuth;
    };

    // Starts the server speaking `apiVersion` (3, 2 or 1) and waits until it
    // listens; throws std::runtime_error when it does not within 10 s.
    explicit StandinServer(int apiVersion = 3);
    ~StandinServer();
    StandinServer(const StandinServer&) = delete;
    StandinServer& operator=(const StandinServer&) = delete;

    int port() const { return port_; }
    int apiVersion() const { return apiVersion_; }
    // "http://127.0.0.1:<port>": the interaction URL of issued users.
    std::string baseURL() const;

    // Options (all optional): "system_id", "user_id", "flags" (default 1539:
    // fingerprint, events, autosign, scoring), "activation_code",
    // "encrypted" (false: the QR text carries the keys in clear).
    IssuedUser issueUser(const nlohmann::json& options = nlohmann::json::object());
    // Options: "user_id" (required), "system_id", "transaction_id", "text",
    // "binary_data" (Base64), "binary_via_url", "confirm_code_length",
    // "confirm_type", "autosign". Returns the transaction's identifier.
    std::string addTransaction(const nlohmann::json& options);
    // A login session with its transaction. Options as for a transaction, and
    // "expires_in" (seconds, default 300) and "pulp" (Base64). Returns
    // {"qr", "session_id", "transaction_id"}.
    nlohmann::json addLogin(const nlohmann::json& options);
    // {"<provider>": {settings}}
    void setScoringSettings(const nlohmann::json& settings);

    // What the user registered: "public_key", "fingerprint",
    // "autosign_public_key", "push_address", "device_id" (legacy), counts of
    // "registrations" and "renewals", "events", "templates", current keys.
    nlohmann::json userState(const std::string& systemID, const std::string& userID) const;
    // "state" ("pending", "confirmed", "declined") and "outcome" (what the
    // client sent: codes, signature, scoring settings, "via").
    nlohmann::json transactionState(const std::string& transactionID) const;
    // Every client request so far: "method", "path", "status", "body", and
    // "error_code" for a refusal.
    nlohmann::json requests() const;

    // A raw admin call ("GET" or "POST", a path below "/admin/"); throws on a
    // status other than 200.
    nlohmann::json admin(const std::string& method, const std::string& path,
                         const nlohmann::json& body = nlohmann::json::object()) const;

private:
    void stop();

    int apiVersion_;
    int port_ = 0;
    pid_t pid_ = -1;
};

}  // namespace svsdk::testing
