#include "Service.h"

#include <cctype>
#include <chrono>
#include <cmath>
#include <ctime>
#include <exception>
#include <set>

namespace standin {
namespace {

using nlohmann::json;

// Server error codes sent in refusals.
enum Code : int {
    systemNotFound = 203,
    userNotFound = 208,
    dsStructError = 211,
    requestError = 219,
    transactionIsNull = 231,
    transactionChecked = 232,
    noResult = 236,
    fprintIsEmpty = 238,
    invalidHmac = 244,
    wrongAuthCode = 248,
    deviceTypeIsNull = 251,
    confirmCodeIsNull = 255,
    transactionIdIsNull = 256,
    statusListIsEmpty = 257,
    deviceIdIsNull = 258,
    pushIdIsNull = 265,
    authCodeIsNull = 268,
    declineReasonIsNull = 270,
    pubkeyIsEmpty = 276,
    signatureIsInvalid = 278,
    signatureIsNull = 279,
    signatureAndConfirmCodeAreNull = 280,
    transactionExpired = 281,
    jsonSchemeNotSupported = 282,
    jsonRequestIncorrect = 283,
    httpAuthCodeInvalid = 288,
    notSupported = 289,
    extAuthTypeNotSupported = 292,
};

constexpr std::int64_t withFingerprint = 1;
constexpr std::int64_t denyRenewPublicKey = 256;
constexpr std::int64_t autosignEnabled = 512;
constexpr std::size_t requestLogLimit = 5000;

double now() { return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count(); }

Reply jsonReply(const json& body, int status = 200) {
    return Reply{status, "application/json", body.dump(-1, ' ', false, json::error_handler_t::replace)};
}

Reply answer(json members = json::object()) { return jsonReply(json{{"answer", std::move(members)}}); }

Reply notFound() { return Reply{404, "text/plain", "not found"}; }

int percentDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The path of a raw request target, split into percent-decoded segments.
std::vector<std::string> segments(const std::string& target) {
    std::string path = target.substr(0, target.find('?'));
    std::vector<std::string> out;
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t end = path.find('/', start);
        if (end == std::string::npos) end = path.size();
        std::string raw = path.substr(start, end - start), decoded;
        for (std::size_t i = 0; i < raw.size(); ++i) {
            if (raw[i] == '%' && i + 2 < raw.size() && percentDigit(raw[i + 1]) >= 0 && percentDigit(raw[i + 2]) >= 0) {
                decoded.push_back(static_cast<char>(percentDigit(raw[i + 1]) * 16 + percentDigit(raw[i + 2])));
                i += 2;
            } else {
                decoded.push_back(raw[i]);
            }
        }
        if (!raw.empty()) out.push_back(decoded);
        start = end + 1;
    }
    return out;
}

std::optional<std::string> text(const json& object, const char* key) {
    if (!object.is_object()) return std::nullopt;
    auto found = object.find(key);
    if (found == object.end() || !found->is_string()) return std::nullopt;
    return found->get<std::string>();
}

std::optional<std::int64_t> integer(const json& object, const char* key) {
    if (!object.is_object()) return std::nullopt;
    auto found = object.find(key);
    if (found == object.end() || !found->is_number_integer()) return std::nullopt;
    return found->get<std::int64_t>();
}

bool flag(const json& object, const char* key, bool fallback) {
    if (!object.is_object()) return fallback;
    auto found = object.find(key);
    return found != object.end() && found->is_boolean() ? found->get<bool>() : fallback;
}

std::string dateText(double seconds) {
    std::time_t time = static_cast<std::time_t>(seconds);
    std::tm parts{};
    ::gmtime_r(&time, &parts);
    char buffer[16];
    std::strftime(buffer, sizeof buffer, "%Y-%m-%d", &parts);
    return buffer;
}

std::string decimalCode(std::size_t digits) {
    std::string out;
    for (auto byte : randomBytes(digits)) out.push_back(static_cast<char>('0' + byte % 10));
    return out;
}

}  // namespace

Service::Service(int apiVersion) : apiVersion_(apiVersion) {
    scoringSettings_ = json{{"standin", {{"threshold", 50}}}};
}

void Service::setBaseURL(std::string baseURL) {
    std::lock_guard guard(lock_);
    baseURL_ = std::move(baseURL);
}

Reply Service::handle(const std::string& method, const std::string& target, const Headers& headers,
                      const std::string& body) {
    std::lock_guard guard(lock_);
    auto path = segments(target);
    Reply reply;
    std::optional<int> code;
    try {
        reply = dispatch(method, path, headers, body);
    } catch (const Refusal& refusal) {
        code = refusal.code;
        reply =
            jsonReply(json{{"answer", {{"result", {{"error_code", refusal.code}, {"error_text", refusal.message}}}}}},
                      refusal.status);
    } catch (const std::exception& error) {
        reply = jsonReply(json{{"error", error.what()}}, 500);
    }
    if (path.empty() || path.front() != "admin") {
        json entry{{"method", method}, {"path", target}, {"status", reply.status}, {"body", body}};
        if (code) entry["error_code"] = *code;
        requestLog_.push_back(std::move(entry));
        if (requestLog_.size() > requestLogLimit) requestLog_.pop_front();
    }
    return reply;
}

Reply Service::dispatch(const std::string& method, const std::vector<std::string>& path, const Headers& headers,
                        const std::string& body) {
    if (path.empty()) return notFound();
    const std::string& first = path.front();
    if (first == "admin") return admin(method, path, body);
    if (method == "GET" && path.size() == 1) return probe(path);
    if (apiVersion_ == 3) {
        if (first == "jsonrequest_v3") return resource(method, path, headers, body);
        if (first == "binary" && method == "POST") return binaryData(path, headers, body);
        if (path == std::vector<std::string>{"login", "client", "getTransactionId"} && method == "POST")
            return loginTransactionID(body);
    } else if (first == "jsonrequest_v" + std::to_string(apiVersion_) && path.size() == 1 && method == "POST") {
        return legacy(headers, body);
    }
    return notFound();
}

// What a client's version probes find: "health_check" names version 3; a
// legacy server has no "health_check" and answers its own "jsonrequest_v<N>"
// with a status other than 404.
Reply Service::probe(const std::vector<std::string>& path) const {
    const std::string& name = path.front();
    if (name == "health_check" && apiVersion_ == 3) return jsonReply(json{{"sv_api_version", 3}});
    if (apiVersion_ != 3 && name == "jsonrequest_v" + std::to_string(apiVersion_))
        return Reply{405, "text/plain", "POST only"};
    return notFound();
}

// ---------------------------------------------------------------- checks

Service::User& Service::userAt(const std::string& systemID, const std::string& userID) {
    auto found = users_.find({systemID, userID});
    if (found != users_.end()) return found->second;
    for (const auto& [key, user] : users_)
        if (key.first == systemID) throw Refusal{404, userNotFound, "no such user"};
    throw Refusal{404, systemNotFound, "no such system"};
}

Service::User* Service::findUser(const std::string& userID) {
    for (auto& [key, user] : users_)
        if (key.second == userID) return &user;
    return nullptr;
}

Service::Transaction& Service::transactionOf(const User& user, const std::string& id, bool forSigning) {
    auto found = transactions_.find(id);
    if (found == transactions_.end() || found->second.userID != user.userID || found->second.systemID != user.systemID)
        throw Refusal{404, transactionIsNull, "no such transaction for this user"};
    Transaction& transaction = found->second;
    if (forSigning && transaction.state != "pending")
        throw Refusal{400, transactionChecked, "already " + transaction.state};
    if (forSigning && transaction.login && now() >= transaction.expires)
        throw Refusal{400, transactionExpired, "the login session expired"};
    return transaction;
}

void Service::checkSigningHeader(const User& user, const Headers& headers, const std::string& name,
                                 const std::string& body) const {
    std::string lower = name;
    for (auto& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    auto found = headers.find(lower);
    if (found == headers.end() || !sameHex(found->second, hmacSha256(user.kAuth, sha256(bytesOf(body)))))
        throw Refusal{401, httpAuthCodeInvalid, "the " + name + " header does not match the body"};
}

std::vector<std::uint64_t> Service::acceptedSteps(double step) const {
    if (!(step > 0)) return {};
    auto current = static_cast<std::uint64_t>(now() / step);
    return {current, current - 1, current + 1};
}

Bytes Service::content(const Transaction& transaction, const std::optional<std::string>& declineReason) const {
    Bytes value;
    if (transaction.text) value = bytesOf(*transaction.text);
    if (transaction.binary) value.insert(value.end(), transaction.binary->begin(), transaction.binary->end());
    value.insert(value.end(), transaction.pulp.begin(), transaction.pulp.end());
    if (declineReason) {
        Bytes reason = bytesOf(*declineReason);
        value.insert(value.end(), reason.begin(), reason.end());
    }
    return value;
}

Bytes Service::matchingConfirmationBlock(const User& user, const Bytes& itemContent, const json& code) const {
    if ((user.flags & withFingerprint) && !user.fingerprint)
        throw Refusal{400, fprintIsEmpty, "no fingerprint registered for a fingerprint-bound user"};
    auto received = code.is_string() ? code.get<std::string>() : std::string();
    for (auto step : acceptedSteps(user.confirmationStep)) {
        Bytes block;
        appendItem(block, 17, itemContent);
        appendItem(block, 18, user.userID);
        if (user.flags & withFingerprint) appendItem(block, 19, *user.fingerprint);
        appendTime(block, step);
        if (sameHex(received, hmacSha256(user.kHMAC, block))) return block;
    }
    throw Refusal{400, invalidHmac, "the code does not match"};
}

void Service::checkAuthCode(const User& user, const json& request,
                            const std::function<Bytes(std::uint64_t)>& block) const {
    auto code = text(request, "auth_code");
    if (!code) throw Refusal{400, authCodeIsNull, "no auth_code"};
    for (auto step : acceptedSteps(user.authorizationStep))
        if (sameHex(*code, hmacSha256(user.kAuth, block(step)))) return;
    throw Refusal{401, wrongAuthCode, "the auth_code does not match"};
}

// ---------------------------------------------------------------- resource protocol

Reply Service::resource(const std::string& method, const std::vector<std::string>& path, const Headers& headers,
                        const std::string& raw) {
    if (path.size() < 4 || path[2] != "users") return notFound();
    User& user = userAt(path[1], path[3]);
    const std::vector<std::string> rest(path.begin() + 4, path.end());
    checkSigningHeader(user, headers, "SV-Authorization", raw);
    json body = json::parse(raw, nullptr, false);
    if (body.is_discarded() || !body.is_object())
        throw Refusal{400, jsonRequestIncorrect, "the body is no JSON object"};

    auto is = [&](const char* expectedMethod, std::initializer_list<const char*> components) {
        if (method != expectedMethod || rest.size() != components.size()) return false;
        std::size_t i = 0;
        for (const char* component : components) {
            if (*component && rest[i] != component) return false;
            ++i;
        }
        return true;
    };
    if (is("PATCH", {})) return registerDevice(user, body);
    if (is("POST", {"remote", "templates"})) {
        auto type = text(body, "template_type");
        auto value = text(body, "template_value");
        if (!type || !value) throw Refusal{400, jsonRequestIncorrect, "template_type and template_value are needed"};
        if (*type != "codeword" && *type != "oz_biometry")
            throw Refusal{400, extAuthTypeNotSupported, "unknown template type"};
        user.templates.push_back(json{{"template_type", *type}, {"template_value", *value}});
        return answer();
    }
    if (is("POST", {"key", "renew", "challenge"})) return renewalChallenge(user);
    if (is("POST", {"key", "renew", "response"})) return renewalResponse(user, body);
    if (is("POST", {"transactions", "get_list"})) return answer(json{{"transaction_list", pendingIDs(user, false)}});
    if (is("POST", {"transactions", "get_autoconfirm_list"})) {
        if (!(user.flags & autosignEnabled)) throw Refusal{400, notSupported, "autosign is not enabled for the user"};
        return answer(json{{"transaction_list", pendingIDs(user, true)}});
    }
    if (is("POST", {"transactions", "", "get_data"}))
        return answer(json{{"transaction_data", transactionData(transactionOf(user, rest[1], false), false)}});
    if (is("POST", {"transactions", "", "confirm"}))
        return confirm(user, transactionOf(user, rest[1], true), body, "confirm");
    if (is("POST", {"transactions", "", "decline"})) return decline(user, transactionOf(user, rest[1], true), body);
    if (is("POST", {"transactions", "", "autoconfirm"}))
        return autosign(user, transactionOf(user, rest[1], true), body);
    if (is("POST", {"events"})) {
        auto type = text(body, "event_type");
        if (!type || (*type != "password_incorrect" && *type != "key_deleted"))
            throw Refusal{400, jsonRequestIncorrect, "unknown event_type"};
        user.events.push_back(*type);
        return answer();
    }
    if (is("POST", {"scoring", "ios"})) return answer(json{{"scoring_settings", scoringSettings_}});
    return notFound();
}

// Both registrations use PATCH on the user's path; the autosign one is told
// apart by its member.
Reply Service::registerDevice(User& user, const json& body) {
    if (body.contains("autosign_public_key")) {
        if (!(user.flags & autosignEnabled)) throw Refusal{400, notSupported, "autosign is not enabled for the user"};
        auto key = text(body, "autosign_public_key");
        if (!key || key->empty()) throw Refusal{400, pubkeyIsEmpty, "no autosign public key"};
        if (!isP256PublicKey(*key)) throw Refusal{400, dsStructError, "not a P-256 SubjectPublicKeyInfo"};
        user.autosignPublicKey = *key;
        return answer();
    }
    std::optional<std::string> publicKey;
    if (body.contains("public_key")) {
        publicKey = text(body, "public_key");
        if (!publicKey || publicKey->empty()) throw Refusal{400, pubkeyIsEmpty, "empty public key"};
        if (!isP256PublicKey(*publicKey)) throw Refusal{400, dsStructError, "not a P-256 SubjectPublicKeyInfo"};
    }
    json push;
    if (body.contains("push_address")) {
        push = body["push_address"];
        if (!text(push, "device_type")) throw Refusal{400, deviceTypeIsNull, "push_address without device_type"};
        if (!text(push, "device_push_id")) throw Refusal{400, pushIdIsNull, "push_address without device_push_id"};
    }
    std::optional<std::string> fingerprint;
    if (body.contains("device_fingerprint")) {
        fingerprint = text(body, "device_fingerprint");
        if (!fingerprint || fingerprint->empty()) throw Refusal{400, fprintIsEmpty, "empty device fingerprint"};
    }
    if ((user.flags & withFingerprint) && !fingerprint && !user.fingerprint)
        throw Refusal{400, fprintIsEmpty, "a fingerprint-bound user registers its device fingerprint"};
    if (publicKey) user.publicKey = publicKey;
    if (!push.is_null()) user.pushAddress = push;
    if (fingerprint) user.fingerprint = fingerprint;
    ++user.registrations;
    return answer();
}

Reply Service::renewalChallenge(User& user) {
    if (user.flags & denyRenewPublicKey) throw Refusal{400, notSupported, "renewal is denied for the user"};
    if (!user.publicKey) throw Refusal{400, pubkeyIsEmpty, "no public key registered"};
    user.renewalChallenge = randomBytes(32);
    return answer(json{{"renew_key_challenge", {{"challenge", hex(*user.renewalChallenge)}}}});
}

// The answer to a challenge: HMAC code and signature over the block of the
// challenge followed by the client's salt. On success the user gets new keys,
// sent as a user record whose key content is protected under the hex SHA-256
// of the old kHMAC followed by the old kAuth.
Reply Service::renewalResponse(User& user, const json& body) {
    if (!user.renewalChallenge) throw Refusal{400, requestError, "no challenge was asked for"};
    Bytes challenge = *user.renewalChallenge;
    user.renewalChallenge.reset();
    auto salt = fromHex(text(body, "salt").value_or(""));
    auto signature = text(body, "signature");
    if (!salt || salt->size() != 32) throw Refusal{400, jsonRequestIncorrect, "the salt is not 32 bytes of hex"};
    if (!signature) throw Refusal{400, signatureIsNull, "no signature"};
    Bytes signedData = challenge;
    signedData.insert(signedData.end(), salt->begin(), salt->end());
    Bytes block = matchingConfirmationBlock(user, signedData, body.value("hmac", json()));
    if (!verifySignature(*user.publicKey, block, *signature))
        throw Refusal{400, signatureIsInvalid, "the signature does not verify"};

    Bytes old = user.kHMAC;
    old.insert(old.end(), user.kAuth.begin(), user.kAuth.end());
    const std::string activationCode = hex(sha256(old));
    user.kHMAC = randomBytes(32);
    user.kAuth = randomBytes(32);
    Bytes keys = user.kHMAC;
    keys.insert(keys.end(), user.kAuth.begin(), user.kAuth.end());
    ++user.renewals;
    json record = userJSON(user, protectKeys(keys, user.userID, activationCode));
    return answer(json{{"key_updated", {{"key_json", record.dump()}}}});
}

Reply Service::confirm(User& user, Transaction& transaction, const json& body, const std::string& via) {
    bool hasCode = body.contains("confirm_code"), hasSignature = body.contains("signature");
    if (!hasCode && !hasSignature) throw Refusal{400, signatureAndConfirmCodeAreNull, "neither code nor signature"};
    if (!hasCode) throw Refusal{400, confirmCodeIsNull, "no confirm_code"};
    if (!hasSignature) throw Refusal{400, signatureIsNull, "no signature"};
    if (!user.publicKey) throw Refusal{400, pubkeyIsEmpty, "no public key registered"};
    Bytes block = matchingConfirmationBlock(user, content(transaction, std::nullopt), body["confirm_code"]);
    auto signature = text(body, "signature").value_or("");
    if (!verifySignature(*user.publicKey, block, signature))
        throw Refusal{400, signatureIsInvalid, "the signature does not verify"};
    json outcome{{"via", via}, {"confirm_code", body["confirm_code"]}, {"signature", signature}};
    if (body.contains("scoring_settings")) {
        const json& scoring = body["scoring_settings"];
        if (!scoring.is_object() || scoring.size() != 1)
            throw Refusal{400, jsonRequestIncorrect, "scoring_settings holds one provider"};
        outcome["scoring_settings"] = scoring;
    }
    if (body.contains("event")) outcome["event"] = body["event"];
    transaction.state = "confirmed";
    transaction.outcome = std::move(outcome);
    return answer();
}

Reply Service::autosign(User& user, Transaction& transaction, const json& body) {
    if (!(user.flags & autosignEnabled)) throw Refusal{400, notSupported, "autosign is not enabled for the user"};
    if (!transaction.autosign) throw Refusal{400, notSupported, "the transaction is not for autosign"};
    if (!user.autosignPublicKey) throw Refusal{400, pubkeyIsEmpty, "no autosign key registered"};
    auto signature = text(body, "signature");
    if (!signature) throw Refusal{400, signatureIsNull, "no signature"};
    const json scoring = body.value("scoring_settings", json());
    if (!scoring.is_object() || scoring.size() != 1)
        throw Refusal{400, jsonRequestIncorrect, "scoring_settings holds one provider"};
    if ((user.flags & withFingerprint) && !user.fingerprint)
        throw Refusal{400, fprintIsEmpty, "no fingerprint registered for a fingerprint-bound user"};
    bool verified = false;
    for (auto step : acceptedSteps(user.confirmationStep)) {
        Bytes block;
        appendItem(block, 17, content(transaction, std::nullopt));
        appendItem(block, 18, user.userID);
        if (user.flags & withFingerprint) appendItem(block, 19, *user.fingerprint);
        appendTime(block, step);
        if ((verified = verifySignature(*user.autosignPublicKey, block, *signature))) break;
    }
    if (!verified) throw Refusal{400, signatureIsInvalid, "the autosign signature does not verify"};
    transaction.state = "confirmed";
    transaction.outcome = json{{"via", "autosign"}, {"signature", *signature}, {"scoring_settings", scoring}};
    if (body.contains("event")) transaction.outcome["event"] = body["event"];
    return answer();
}

Reply Service::decline(User& user, Transaction& transaction, const json& body) {
    auto reason = text(body, "decline_reason");
    if (!body.contains("decline_code")) throw Refusal{400, confirmCodeIsNull, "no decline_code"};
    if (!reason) throw Refusal{400, declineReasonIsNull, "no decline_reason"};
    matchingConfirmationBlock(user, content(transaction, reason), body["decline_code"]);
    transaction.state = "declined";
    transaction.outcome = json{{"decline_code", body["decline_code"]}, {"decline_reason", *reason}};
    return answer();
}

Reply Service::binaryData(const std::vector<std::string>& path, const Headers& headers, const std::string& raw) {
    if (path.size() != 4) return notFound();
    const User& user = userAt(path[1], path[2]);
    checkSigningHeader(user, headers, "SV-Authorization", raw);
    const Transaction& transaction = transactionOf(user, path[3], false);
    if (!transaction.binary) throw Refusal{404, noResult, "the transaction has no binary data"};
    return Reply{200, "application/octet-stream", std::string(transaction.binary->begin(), transaction.binary->end())};
}

// The login service: unsigned, names the transaction of a session.
Reply Service::loginTransactionID(const std::string& raw) {
    json body = json::parse(raw, nullptr, false);
    auto userID = text(body, "userId");
    auto sessionID = text(body, "sessionId");
    if (!userID || !sessionID) throw Refusal{400, jsonRequestIncorrect, "userId and sessionId are needed"};
    for (const auto& [id, transaction] : transactions_) {
        if (!transaction.login || transaction.sessionID != *sessionID) continue;
        if (transaction.userID != *userID) throw Refusal{404, userNotFound, "the session belongs to another user"};
        if (now() >= transaction.expires) throw Refusal{400, transactionExpired, "the login session expired"};
        return jsonReply(json{{"transactionId", id}});
    }
    throw Refusal{404, transactionIsNull, "no such session"};
}

std::vector<std::string> Service::pendingIDs(const User& user, bool autosignList) const {
    std::vector<std::string> ids;
    for (const auto& [id, transaction] : transactions_)
        if (transaction.userID == user.userID && transaction.systemID == user.systemID &&
            transaction.state == "pending" && !transaction.login && transaction.autosign == autosignList)
            ids.push_back(id);
    return ids;
}

json Service::transactionData(const Transaction& transaction, bool legacyForm) const {
    json data{{"transaction_id", transaction.id},
              {"user_id", transaction.userID},
              {"system_id", transaction.systemID},
              {"confirm_code_length", transaction.codeLength},
              {"confirm_type", transaction.confirmType},
              {"extended_check", false},
              {"text_render_type", "raw"},
              {"autosign_enabled", transaction.autosign},
              {"sv_transaction_version", std::to_string(apiVersion_)}};
    if (legacyForm) {
        // The legacy record nests text and binary data one level deeper.
        json inner{{"transaction_text", transaction.text.value_or("")}};
        if (transaction.binary) inner["binary_data"] = base64(*transaction.binary);
        data["transaction_data"] = std::move(inner);
        return data;
    }
    if (transaction.text) data["text"] = *transaction.text;
    if (transaction.binary && transaction.binaryViaURL)
        data["binary_data_url"] =
            baseURL_ + "/binary/" + transaction.systemID + "/" + transaction.userID + "/" + transaction.id;
    else if (transaction.binary)
        data["binary_data"] = base64(*transaction.binary);
    return data;
}

// ---------------------------------------------------------------- legacy protocol

Reply Service::legacy(const Headers& headers, const std::string& raw) {
    json envelope = json::parse(raw, nullptr, false);
    auto type = text(envelope, "request_type");
    json request = envelope.is_object() ? envelope.value("request", json()) : json();
    if (!type || !request.is_object()) throw Refusal{400, jsonRequestIncorrect, "no request_type or request"};
    const std::string schema = "sigvane-request-schema-v" + std::to_string(apiVersion_) + ".json";
    if (integer(envelope, "request_version") != apiVersion_ || text(envelope, "$schema") != schema)
        throw Refusal{400, jsonSchemeNotSupported, "expected " + schema};

    static const std::set<std::string> types{"reg_fingerprint",     "reg_pubkey",           "reg_device",
                                             "get_transactions",    "get_transaction_data", "confirm_transaction",
                                             "decline_transaction", "password_invalid"};
    if (!types.count(*type)) throw Refusal{400, jsonRequestIncorrect, "unknown request_type"};

    // Confirmations and declinations name only the transaction.
    User* user = nullptr;
    Transaction* transaction = nullptr;
    if (*type == "confirm_transaction" || *type == "decline_transaction") {
        auto id = text(request, "transaction_id");
        if (!id) throw Refusal{400, transactionIdIsNull, "no transaction_id"};
        auto found = transactions_.find(*id);
        if (found == transactions_.end() || found->second.login)
            throw Refusal{404, transactionIsNull, "no such transaction"};
        user = &userAt(found->second.systemID, found->second.userID);
        transaction = &found->second;
    } else {
        auto userID = text(request, "user_id");
        if (!userID) throw Refusal{400, jsonRequestIncorrect, "no user_id"};
        if (auto systemID = text(request, "system_id"))
            user = &userAt(*systemID, *userID);
        else if (!(user = findUser(*userID)))
            throw Refusal{404, userNotFound, "no such user"};
    }
    checkSigningHeader(*user, headers, "Authorization", raw);
    User& u = *user;

    auto registrationBlock = [&](std::uint8_t tag, const std::string& value) {
        return [&u, tag, value](std::uint64_t step) {
            Bytes block;
            appendItem(block, 22, u.systemID);
            appendItem(block, 18, u.userID);
            appendItem(block, tag, value);
            appendTime(block, step);
            return block;
        };
    };
    auto transactionBlock = [](const std::string& id) {
        return [id](std::uint64_t step) {
            Bytes block;
            appendItem(block, 21, id);
            appendTime(block, step);
            return block;
        };
    };

    if (*type == "reg_fingerprint") {
        auto fingerprint = text(request, "fingerprint");
        if (!fingerprint || fingerprint->empty()) throw Refusal{400, fprintIsEmpty, "no fingerprint"};
        checkAuthCode(u, request, registrationBlock(19, *fingerprint));
        u.fingerprint = *fingerprint;
        ++u.registrations;
        return answer();
    }
    if (*type == "reg_pubkey") {
        auto key = text(request, "public_key");
        if (!key || key->empty()) throw Refusal{400, pubkeyIsEmpty, "no public_key"};
        checkAuthCode(u, request, registrationBlock(33, *key));
        if (!isP256PublicKey(*key)) throw Refusal{400, dsStructError, "not a P-256 SubjectPublicKeyInfo"};
        u.publicKey = *key;
        ++u.registrations;
        return answer();
    }
    if (*type == "reg_device") {
        auto deviceType = text(request, "device_type");
        auto deviceID = text(request, "device_id");
        if (!deviceType) throw Refusal{400, deviceTypeIsNull, "no device_type"};
        if (!deviceID) throw Refusal{400, deviceIdIsNull, "no device_id"};
        checkAuthCode(u, request, [&](std::uint64_t step) {
            Bytes block;
            appendItem(block, 22, u.systemID);
            appendItem(block, 18, u.userID);
            appendItem(block, 23, *deviceType);
            appendItem(block, 24, *deviceID);
            appendTime(block, step);
            return block;
        });
        u.deviceID = *deviceID;
        ++u.registrations;
        return answer();
    }
    if (*type == "get_transactions") {
        const json statuses = request.value("transaction_status", json());
        if (!statuses.is_array() || statuses.empty()) throw Refusal{400, statusListIsEmpty, "no transaction_status"};
        std::vector<std::string> trimmed;
        for (const auto& status : statuses) {
            if (!status.is_string()) throw Refusal{400, jsonRequestIncorrect, "a status is no text"};
            std::string value = status.get<std::string>();
            const char* blanks = " \t\n\r\f\v";
            value.erase(0, value.find_first_not_of(blanks));
            value.erase(value.find_last_not_of(blanks) + 1);
            trimmed.push_back(value);
        }
        checkAuthCode(u, request, [&](std::uint64_t step) {
            Bytes block;
            appendItem(block, 18, u.userID);
            for (const auto& status : trimmed) appendItem(block, 25, status);
            appendTime(block, step);
            return block;
        });
        return answer(json{{"transaction_list", pendingIDs(u, false)}});
    }
    if (*type == "get_transaction_data") {
        auto id = text(request, "transaction_id");
        if (!id) throw Refusal{400, transactionIdIsNull, "no transaction_id"};
        checkAuthCode(u, request, transactionBlock(*id));
        return answer(json{{"transaction_data", transactionData(transactionOf(u, *id, false), true)}});
    }
    if (*type == "confirm_transaction" || *type == "decline_transaction") {
        checkAuthCode(u, request, transactionBlock(transaction->id));
        Transaction& checked = transactionOf(u, transaction->id, true);
        if (*type == "confirm_transaction") return confirm(u, checked, request, "legacy");
        return decline(u, checked, request);
    }
    // "password_invalid": only the signing header.
    u.events.push_back("password_incorrect");
    return answer();
}

// ---------------------------------------------------------------- admin

Reply Service::admin(const std::string& method, const std::vector<std::string>& path, const std::string& raw) {
    json body = raw.empty() ? json::object() : json::parse(raw, nullptr, false);
    if (body.is_discarded() || !body.is_object()) return jsonReply(json{{"error", "the body is no JSON object"}}, 400);
    auto failure = [](const std::string& message, int status = 404) {
        return jsonReply(json{{"error", message}}, status);
    };
    try {
        if (method == "POST" && path == std::vector<std::string>{"admin", "users"}) return jsonReply(issueUser(body));
        if (method == "GET" && path.size() == 4 && path[1] == "users") {
            auto found = users_.find({path[2], path[3]});
            if (found == users_.end()) return failure("no such user");
            return jsonReply(userState(found->second));
        }
        if (method == "POST" && path == std::vector<std::string>{"admin", "transactions"})
            return jsonReply(addTransaction(body, false));
        if (method == "GET" && path.size() == 3 && path[1] == "transactions") {
            auto found = transactions_.find(path[2]);
            if (found == transactions_.end()) return failure("no such transaction");
            const Transaction& t = found->second;
            return jsonReply(json{{"transaction_id", t.id},
                                  {"system_id", t.systemID},
                                  {"user_id", t.userID},
                                  {"state", t.state},
                                  {"outcome", t.outcome}});
        }
        if (method == "POST" && path == std::vector<std::string>{"admin", "logins"})
            return jsonReply(addTransaction(body, true));
        if (method == "POST" && path == std::vector<std::string>{"admin", "scoring"}) {
            if (body.size() != 1 || !body.begin()->is_object())
                return failure("scoring settings are one provider with an object", 400);
            scoringSettings_ = body;
            return jsonReply(json::object());
        }
        if (method == "GET" && path == std::vector<std::string>{"admin", "requests"})
            return jsonReply(json(requestLog_));
    } catch (const std::invalid_argument& error) {
        return failure(error.what(), 400);
    }
    return failure("no such admin call");
}

json Service::issueUser(const json& request) {
    User user;
    user.systemID = text(request, "system_id").value_or("standin-system");
    user.userID = text(request, "user_id").value_or("user-" + std::to_string(++serial_));
    if (user.systemID.empty() || user.userID.empty()) throw std::invalid_argument("empty system_id or user_id");
    if (findUser(user.userID)) throw std::invalid_argument("the user_id is taken");
    user.flags = integer(request, "flags").value_or(1 | 2 | 512 | 1024);
    user.activationCode = text(request, "activation_code").value_or(decimalCode(8));
    user.expiration = std::floor(now()) + 365 * 86400.0;
    user.kHMAC = randomBytes(32);
    user.kAuth = randomBytes(32);
    Bytes keys = user.kHMAC;
    keys.insert(keys.end(), user.kAuth.begin(), user.kAuth.end());

    const bool encrypted = flag(request, "encrypted", true);
    Bytes protectedKeys = protectKeys(keys, user.userID, user.activationCode);
    const std::vector<std::string> lines{encrypted ? "202" : "201",
                                         user.systemID,
                                         user.userID,
                                         "",
                                         hex(encrypted ? protectedKeys : keys),
                                         dateText(user.expiration + 86400),
                                         std::to_string(user.flags),
                                         "",
                                         baseURL_};
    std::string qr;
    for (std::size_t i = 0; i < lines.size(); ++i) qr += (i ? "\n" : "") + lines[i];
    json issued{{"system_id", user.systemID},
                {"user_id", user.userID},
                {"flags", user.flags},
                {"qr", qr},
                {"activation_code", user.activationCode},
                {"user_json", userJSON(user, protectedKeys).dump()},
                {"k_hmac", hex(user.kHMAC)},
                {"k_auth", hex(user.kAuth)},
                {"interaction_url", baseURL_}};
    users_.emplace(std::make_pair(user.systemID, user.userID), std::move(user));
    return issued;
}

json Service::addTransaction(const json& request, bool login) {
    auto userID = text(request, "user_id");
    if (!userID) throw std::invalid_argument("user_id is needed");
    const User* user = findUser(*userID);
    if (!user || (request.contains("system_id") && text(request, "system_id") != user->systemID))
        throw std::invalid_argument("no such user");
    Transaction transaction;
    transaction.id = text(request, "transaction_id").value_or("tx-" + std::to_string(++serial_));
    if (transactions_.count(transaction.id)) throw std::invalid_argument("the transaction_id is taken");
    transaction.systemID = user->systemID;
    transaction.userID = user->userID;
    transaction.text = text(request, "text");
    if (!login && !transaction.text && !request.contains("binary_data")) transaction.text = "Pay 10.00 to Example";
    if (auto data = text(request, "binary_data")) {
        transaction.binary = fromBase64(*data);
        if (!transaction.binary) throw std::invalid_argument("binary_data is not Base64");
    }
    transaction.binaryViaURL = flag(request, "binary_via_url", false) && apiVersion_ == 3;
    transaction.codeLength = integer(request, "confirm_code_length").value_or(6);
    transaction.confirmType = text(request, "confirm_type").value_or("PUSH");
    transaction.autosign = flag(request, "autosign", false);
    json created{{"transaction_id", transaction.id}};
    if (transaction.binaryViaURL && transaction.binary)
        created["binary_data_url"] = baseURL_ + "/binary/" + user->systemID + "/" + user->userID + "/" + transaction.id;
    if (login) {
        transaction.login = true;
        transaction.sessionID = "session-" + hex(randomBytes(8));
        transaction.pulp = randomBytes(16);
        if (auto pulp = text(request, "pulp")) {
            auto decoded = fromBase64(*pulp);
            if (!decoded) throw std::invalid_argument("pulp is not Base64");
            transaction.pulp = *decoded;
        }
        if (!transaction.text) transaction.text = "Log in to Example";
        transaction.expires = now() + static_cast<double>(integer(request, "expires_in").value_or(300));
        json qr{{"sid", transaction.sessionID},   {"sysId", user->systemID},          {"type", "login"},
                {"expires", transaction.expires}, {"pulp", base64(transaction.pulp)}, {"loqUrl", baseURL_ + "/login"}};
        created["qr"] = qr.dump();
        created["session_id"] = transaction.sessionID;
    }
    transactions_.emplace(transaction.id, std::move(transaction));
    return created;
}

json Service::userJSON(const User& user, const Bytes& encryptedKeys) const {
    return json{{"user_id", user.userID},
                {"system_id", user.systemID},
                {"key_flags", user.flags},
                {"expiration_timestamp", user.expiration},
                {"encrypted_key_content", base64(encryptedKeys)},
                {"sv_external_url", baseURL_},
                {"sv_key_version", 3},
                {"sv_api_version", apiVersion_},
                {"system_name", "Stand-in"},
                {"system_settings",
                 {{"confirm_code_time_sampling_interval", user.confirmationStep},
                  {"auth_code_time_sampling_interval", user.authorizationStep}}}};
}

json Service::userState(const User& user) const {
    auto optional = [](const std::optional<std::string>& value) { return value ? json(*value) : json(); };
    return json{{"system_id", user.systemID},
                {"user_id", user.userID},
                {"flags", user.flags},
                {"public_key", optional(user.publicKey)},
                {"fingerprint", optional(user.fingerprint)},
                {"autosign_public_key", optional(user.autosignPublicKey)},
                {"push_address", user.pushAddress},
                {"device_id", optional(user.deviceID)},
                {"registrations", user.registrations},
                {"renewals", user.renewals},
                {"events", user.events},
                {"templates", user.templates},
                {"k_hmac", hex(user.kHMAC)},
                {"k_auth", hex(user.kAuth)}};
}

}  // namespace standin
