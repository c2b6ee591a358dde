#include <svsdk/SVNetworkError.h>

#include <map>

#include <svsdk/SVError.h>

namespace svsdk {
namespace {

// Code to identifier, built once and never destroyed (errors are still made
// on other threads while the process exits).
const std::map<std::int64_t, const char*>& identifiers() {
    static const auto* table = new std::map<std::int64_t, const char*>{
        {-2, "undefined"},
        {-1, "server_does_not_respond"},
        {100, "java_internal_error"},
        {200, "system_property_error"},
        {201, "system_id_is_null"},
        {202, "system_id_is_wrong"},
        {203, "system_not_found"},
        {204, "system_is_deleted"},
        {205, "system_name_is_null"},
        {206, "user_id_is_null"},
        {207, "user_id_pref_is_null"},
        {208, "user_not_found"},
        {209, "user_is_deleted"},
        {210, "ds_verify_error"},
        {211, "ds_struct_error"},
        {212, "store_type_is_wrong"},
        {213, "key_container_alias_is_null"},
        {214, "key_container_not_exists"},
        {215, "transaction_data_uid_error"},
        {216, "transaction_data_error"},
        {217, "transaction_data_is_null"},
        {218, "report_tpl_is_null"},
        {219, "request_error"},
        {220, "system_id_not_unique"},
        {221, "request_signature_not_valid"},
        {222, "system_not_valid"},
        {231, "transaction_is_null"},
        {232, "transaction_checked"},
        {233, "error_parse_register_system_info"},
        {234, "incorrect_user_type"},
        {235, "collection_is_empty"},
        {236, "no_result"},
        {237, "pin_is_empty"},
        {238, "fprint_is_empty"},
        {239, "otp_is_not_valid"},
        {240, "valid_date_expired"},
        {241, "system_type_is_wrong"},
        {242, "spart_length_is_wrong"},
        {243, "data_type_is_wrong"},
        {244, "invalid_hmac"},
        {245, "key_info_not_found"},
        {246, "wrong_system_type"},
        {247, "fprint_is_not_empty"},
        {248, "wrong_auth_code"},
        {249, "confirm_type_is_null"},
        {250, "store_type_is_null"},
        {251, "device_type_is_null"},
        {252, "transaction_data_type_is_null"},
        {253, "user_id_pref_too_long"},
        {254, "confirm_code_length_is_wrong"},
        {255, "confirm_code_is_null"},
        {256, "transaction_id_is_null"},
        {257, "status_list_is_empty"},
        {258, "device_id_is_null"},
        {259, "device_type_is_incorrect"},
        {261, "invalid_otp"},
        {263, "invalid_kdf"},
        {264, "pin_length_is_wrong"},
        {265, "push_id_is_null"},
        {267, "transaction_status_invalid"},
        {268, "auth_code_is_null"},
        {269, "status_list_is_incorrect"},
        {270, "decline_reason_is_null"},
        {271, "transaction_is_not_unique"},
        {272, "bill_date_corrupted"},
        {273, "user_bill_date_corrupted"},
        {274, "transaction_is_deleted"},
        {275, "bill_request_already_processed"},
        {276, "pubkey_is_empty"},
        {277, "pubkey_is_not_empty"},
        {278, "signature_is_invalid"},
        {279, "signature_is_null"},
        {280, "signature_and_confirm_code_are_null"},
        {281, "transaction_expired"},
        {282, "json_scheme_not_supported"},
        {283, "json_request_incorrect"},
        {287, "billing_type_corrupted"},
        {288, "http_auth_code_invalid"},
        {289, "not_supported"},
        {290, "ext_auth_template_not_found"},
        {291, "ext_auth_failed"},
        {292, "ext_auth_type_not_supported"},
        {293, "ext_auth_needed"},
        {294, "user_is_blocked"},
        {295, "key_expired"},
        {297, "push_not_found"}
    };
    return *table;
}

}  // namespace

// A code outside the table (only reachable by casting) stands for `undefined`.
SVNetworkError::SVNetworkError(Code code)
    : code_(identifiers().count(static_cast<std::int64_t>(code)) ? code : Code::undefined),
      description_(errorDescription()) {}

std::optional<SVNetworkError> SVNetworkError::fromRawValue(std::int64_t rawValue) {
    if (identifiers().count(rawValue) == 0) return std::nullopt;
    return SVNetworkError(static_cast<Code>(rawValue));
}

std::string SVNetworkError::identifier() const { return identifiers().at(rawValue()); }

std::string SVNetworkError::errorDescription() const { return localizedText(identifier()); }

std::string SVNetworkError::localizedText(const std::string& key) {
    return SVError::localizedText(key, "NetworkErrors");
}

}  // namespace svsdk
