#include <svsdk/SVError.h>
#include <svsdk/SVResult.h>

#include <nlohmann/json.hpp>

#include "Core/Diagnostics/Localization.h"
#include "Core/Utilities/JSON.h"

namespace svsdk {
namespace {

constexpr const char* kIdentifiers[] = {
    nullptr,
    "internal_error",
    "empty_keys_content",
    "empty_device_token",
    "invalid_password",
    "password_does_not_match_conditions",
    "invalid_activation_code",
    "empty_password",
    "empty_name",
    "missing_kauth",
    "missing_interaction_url",
    "missing_transaction_data",
    "missing_requested_data",
    "user_is_not_activated",
    "user_is_not_registered",
    "user_is_expired",
    "user_not_found",
    "binary_unavailable",
    "binary_required",
    "endpoint_unavailable",
    "api_is_not_supported",
    "unsupported_key_version",
    "invalid_handle",
    "signing_error",
    "transfer_storage",
    "scoring_unavailable",
    "autosign_unavailable",
    "invalid_qr",
    "login_session_is_expired",
};
static_assert(std::size(kIdentifiers) == 29);

// A code outside the table (only reachable by casting) stands for `internalError`.
SVError::Code knownCode(SVError::Code code) {
    auto raw = static_cast<int>(code);
    return raw >= 0 && static_cast<std::size_t>(raw) < std::size(kIdentifiers) ? code : SVError::Code::internalError;
}

}  // namespace

SVError::SVError(Code code, std::string message)
    : code_(knownCode(code)), message_(code_ == Code::secureEnclaveError ? std::move(message) : std::string()) {
    description_ = errorDescription();
}

std::optional<std::string> SVError::identifier() const {
    const char* id = kIdentifiers[rawCode()];
    if (!id) return std::nullopt;
    return std::string(id);
}

std::string SVError::errorDescription() const {
    if (code_ == Code::secureEnclaveError) return message_;
    return localizedText(*identifier(), "Errors");
}

std::string SVError::localizedText(const std::string& key, const std::string& table) {
    if (auto text = localization::lookup(table, key)) return *text;
    return "**" + key + "**";
}

SVPlatformError::SVPlatformError(std::string domain, std::int64_t code, std::string message)
    : domain_(std::move(domain)), code_(code), message_(std::move(message)) {
    description_ = domain_ + " error " + std::to_string(code_) + (message_.empty() ? "" : ": " + message_);
}

SVDecodingError::SVDecodingError(Kind kind, std::string codingPath, std::string message)
    : kind_(kind), codingPath_(std::move(codingPath)), message_(std::move(message)) {
    static constexpr const char* kinds[] = {"key not found", "type mismatch", "value not found", "data corrupted"};
    description_ = std::string("decoding failed (") + kinds[static_cast<int>(kind_)] + ")";
    if (!codingPath_.empty()) description_ += " at \"" + codingPath_ + "\"";
    if (!message_.empty()) description_ += ": " + message_;
}

SVFailure SVFailure::fromCurrentException() {
    try {
        throw;
    } catch (const SVError& e) {
        return e;
    } catch (const SVNetworkError& e) {
        return e;
    } catch (const SVPlatformError& e) {
        return e;
    } catch (const SVDecodingError& e) {
        return e;
    } catch (const nlohmann::json::parse_error& e) {
        return SVPlatformError("json", e.id, parseErrorMessage(e));
    } catch (const nlohmann::json::exception& e) {
        return SVDecodingError(SVDecodingError::Kind::typeMismatch, "", e.what());
    } catch (const std::exception& e) {
        return SVPlatformError("exception", 0, e.what());
    } catch (...) {
        return SVPlatformError("exception", 0, "unknown exception");
    }
}

const std::exception& SVFailure::exception() const noexcept {
    return std::visit([](const auto& e) -> const std::exception& { return e; }, storage_);
}

void SVFailure::raise() const {
    std::visit([](const auto& e) { throw e; }, storage_);
    std::terminate();
}

}  // namespace svsdk
