#include "Core/Diagnostics/Localization.h"

#include <mutex>

namespace svsdk::localization {
namespace {

using Table = std::map<std::string, std::string>;

std::map<std::string, Table> makeTables() {
    std::map<std::string, Table> tables;
    tables["Errors"] = {
        {"internal_error", "An internal error occurred."},
        {"empty_keys_content", "The user has no keys."},
        {"empty_device_token", "The device token is empty."},
        {"invalid_password", "The password is invalid."},
        {"password_does_not_match_conditions", "The password does not match the password policy."},
        {"invalid_activation_code", "The activation code is invalid."},
        {"empty_password", "The password is empty."},
        {"empty_name", "The name is empty."},
        {"missing_kauth", "The authorization key is missing."},
        {"missing_interaction_url", "The interaction URL is missing."},
        {"missing_transaction_data", "The transaction data is missing."},
        {"missing_requested_data", "The requested data is missing."},
        {"user_is_not_activated", "The user is not activated."},
        {"user_is_not_registered", "The user is not registered."},
        {"user_is_expired", "The user has expired."},
        {"user_not_found", "The user was not found."},
        {"binary_unavailable", "The binary data is unavailable."},
        {"binary_required", "The binary data is required."},
        {"endpoint_unavailable", "The server does not offer this operation."},
        {"api_is_not_supported", "The server's API version is not supported."},
        {"unsupported_key_version", "The key version is not supported."},
        {"invalid_handle", "The unlocked keys are no longer available."},
        {"signing_error", "The transaction could not be signed."},
        {"transfer_storage", "The user could not be transferred to the current storage."},
        {"scoring_unavailable", "Scoring is unavailable."},
        {"autosign_unavailable", "Autosign is unavailable."},
        {"invalid_qr", "The QR code is invalid."},
        {"login_session_is_expired", "The login session has expired."},
    };
    tables["NetworkErrors"] = {
        {"undefined", "An unknown error occurred on the server."},
        {"server_does_not_respond", "The server does not respond."},
        {"java_internal_error", "Internal server error."},
        {"system_property_error", "System property error."},
        {"system_id_is_null", "System ID is empty."},
        {"system_id_is_wrong", "System ID is wrong."},
        {"system_not_found", "System not found."},
        {"system_is_deleted", "System is deleted."},
        {"system_name_is_null", "System name is empty."},
        {"user_id_is_null", "User ID is empty."},
        {"user_id_pref_is_null", "The user identifier prefix is empty."},
        {"user_not_found", "User not found."},
        {"user_is_deleted", "User is deleted."},
        {"ds_verify_error", "The digital signature could not be verified."},
        {"ds_struct_error", "The digital signature has a wrong structure."},
        {"store_type_is_wrong", "Store type is wrong."},
        {"key_container_alias_is_null", "Key container alias is empty."},
        {"key_container_not_exists", "Key container not exists."},
        {"transaction_data_uid_error", "Transaction data uid error."},
        {"transaction_data_error", "Transaction data error."},
        {"transaction_data_is_null", "Transaction data is empty."},
        {"report_tpl_is_null", "Report tpl is empty."},
        {"request_error", "Request error."},
        {"system_id_not_unique", "System ID not unique."},
        {"request_signature_not_valid", "Request signature not valid."},
        {"system_not_valid", "System not valid."},
        {"transaction_is_null", "Transaction is empty."},
        {"transaction_checked", "Transaction checked."},
        {"error_parse_register_system_info", "Error parse register system info."},
        {"incorrect_user_type", "Incorrect user type."},
        {"collection_is_empty", "Collection is empty."},
        {"no_result", "No result."},
        {"pin_is_empty", "Pin is empty."},
        {"fprint_is_empty", "The device fingerprint is empty."},
        {"otp_is_not_valid", "The one-time password is not valid."},
        {"valid_date_expired", "Valid date expired."},
        {"system_type_is_wrong", "System type is wrong."},
        {"spart_length_is_wrong", "The server part length is wrong."},
        {"data_type_is_wrong", "Data type is wrong."},
        {"invalid_hmac", "The confirmation code is invalid."},
        {"key_info_not_found", "Key info not found."},
        {"wrong_system_type", "Wrong system type."},
        {"fprint_is_not_empty", "The device fingerprint is already set."},
        {"wrong_auth_code", "Wrong auth code."},
        {"confirm_type_is_null", "Confirm type is empty."},
        {"store_type_is_null", "Store type is empty."},
        {"device_type_is_null", "Device type is empty."},
        {"transaction_data_type_is_null", "Transaction data type is empty."},
        {"user_id_pref_too_long", "The user identifier prefix is too long."},
        {"confirm_code_length_is_wrong", "Confirm code length is wrong."},
        {"confirm_code_is_null", "Confirm code is empty."},
        {"transaction_id_is_null", "Transaction ID is empty."},
        {"status_list_is_empty", "Status list is empty."},
        {"device_id_is_null", "Device ID is empty."},
        {"device_type_is_incorrect", "Device type is incorrect."},
        {"invalid_otp", "The one-time password is invalid."},
        {"invalid_kdf", "The key derivation function is invalid."},
        {"pin_length_is_wrong", "Pin length is wrong."},
        {"push_id_is_null", "Push ID is empty."},
        {"transaction_status_invalid", "Transaction status invalid."},
        {"auth_code_is_null", "Auth code is empty."},
        {"status_list_is_incorrect", "Status list is incorrect."},
        {"decline_reason_is_null", "Decline reason is empty."},
        {"transaction_is_not_unique", "Transaction is not unique."},
        {"bill_date_corrupted", "Bill date corrupted."},
        {"user_bill_date_corrupted", "User bill date corrupted."},
        {"transaction_is_deleted", "Transaction is deleted."},
        {"bill_request_already_processed", "Bill request already processed."},
        {"pubkey_is_empty", "The public key is empty."},
        {"pubkey_is_not_empty", "The public key is already set."},
        {"signature_is_invalid", "Signature is invalid."},
        {"signature_is_null", "Signature is empty."},
        {"signature_and_confirm_code_are_null", "Signature and confirm code are null."},
        {"transaction_expired", "Transaction expired."},
        {"json_scheme_not_supported", "The request scheme is not supported."},
        {"json_request_incorrect", "The request is incorrect."},
        {"billing_type_corrupted", "Billing type corrupted."},
        {"http_auth_code_invalid", "The request authorization code is invalid."},
        {"not_supported", "Not supported."},
        {"ext_auth_template_not_found", "Ext auth template not found."},
        {"ext_auth_failed", "Ext auth failed."},
        {"ext_auth_type_not_supported", "Ext auth type not supported."},
        {"ext_auth_needed", "Extended authentication is needed."},
        {"user_is_blocked", "User is blocked."},
        {"key_expired", "Key expired."},
        {"push_not_found", "Push not found."}
    };
    return tables;
}

// Never destroyed: error texts are still looked up while the process exits.
std::mutex& tablesLock() {
    static auto* lock = new std::mutex;
    return *lock;
}

std::map<std::string, Table>& tables() {
    static auto* all = new std::map<std::string, Table>(makeTables());
    return *all;
}

}  // namespace

std::optional<std::string> lookup(const std::string& table, const std::string& key) {
    std::lock_guard guard(tablesLock());
    auto t = tables().find(table);
    if (t == tables().end()) return std::nullopt;
    auto entry = t->second.find(key);
    if (entry == t->second.end()) return std::nullopt;
    return entry->second;
}

std::optional<std::map<std::string, std::string>> table(const std::string& name) {
    std::lock_guard guard(tablesLock());
    auto t = tables().find(name);
    if (t == tables().end()) return std::nullopt;
    return t->second;
}

void replaceTable(const std::string& table, std::optional<std::map<std::string, std::string>> entries) {
    std::lock_guard guard(tablesLock());
    if (entries)
        tables()[table] = std::move(*entries);
    else
        tables().erase(table);
}

}  // namespace svsdk::localization
