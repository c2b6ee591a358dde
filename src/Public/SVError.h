#pragma once
// The errors the SDK reports. Synchronous operations throw one of the error
// classes below; asynchronous ones hand an `SVFailure` (see SVResult.h) to
// their completion. Each class derives from std::exception.
#include <cstdint>
#include <exception>
#include <optional>
#include <string>

namespace svsdk {

// The SDK's own error: 29 cases, one of which carries a message.
class SVError : public std::exception {
public:
    enum class Code : int {
        secureEnclaveError = 0,
        internalError,
        emptyKeys,
        emptyDeviceToken,
        invalidPassword,
        passwordDoesNotMatchTheConditions,
        invalidActivationCode,
        emptyPassword,
        emptyName,
        missingKAuth,
        missingInteractionURL,
        missingTransactionData,
        missingRequestedData,
        userIsNotActivated,
        userIsNotRegistered,
        userIsExpired,
        userNotFound,
        binaryDataIsUnavaiable,
        binaryDataIsRequired,
        endpointUnavailable,
        apiIsNotSupported,
        unsupportedKeyVersion,
        handleInvalid,
        signingError,
        transferStorage,
        scoringUnavailable,
        autosignUnavailable,
        invalidQR,
        loginSessionIsExpired,
    };

    // One constructor per payload-free case, e.g. SVError::invalidPassword().
#define SVSDK_ERROR_CASE(name) \
    static SVError name() { return SVError(Code::name); }
    SVSDK_ERROR_CASE(internalError)
    SVSDK_ERROR_CASE(emptyKeys)
    SVSDK_ERROR_CASE(emptyDeviceToken)
    SVSDK_ERROR_CASE(invalidPassword)
    SVSDK_ERROR_CASE(passwordDoesNotMatchTheConditions)
    SVSDK_ERROR_CASE(invalidActivationCode)
    SVSDK_ERROR_CASE(emptyPassword)
    SVSDK_ERROR_CASE(emptyName)
    SVSDK_ERROR_CASE(missingKAuth)
    SVSDK_ERROR_CASE(missingInteractionURL)
    SVSDK_ERROR_CASE(missingTransactionData)
    SVSDK_ERROR_CASE(missingRequestedData)
    SVSDK_ERROR_CASE(userIsNotActivated)
    SVSDK_ERROR_CASE(userIsNotRegistered)
    SVSDK_ERROR_CASE(userIsExpired)
    SVSDK_ERROR_CASE(userNotFound)
    SVSDK_ERROR_CASE(binaryDataIsUnavaiable)
    SVSDK_ERROR_CASE(binaryDataIsRequired)
    SVSDK_ERROR_CASE(endpointUnavailable)
    SVSDK_ERROR_CASE(apiIsNotSupported)
    SVSDK_ERROR_CASE(unsupportedKeyVersion)
    SVSDK_ERROR_CASE(handleInvalid)
    SVSDK_ERROR_CASE(signingError)
    SVSDK_ERROR_CASE(transferStorage)
    SVSDK_ERROR_CASE(scoringUnavailable)
    SVSDK_ERROR_CASE(autosignUnavailable)
    SVSDK_ERROR_CASE(invalidQR)
    SVSDK_ERROR_CASE(loginSessionIsExpired)
#undef SVSDK_ERROR_CASE
    static SVError secureEnclaveError(std::string message) {
        return SVError(Code::secureEnclaveError, std::move(message));
    }

    // A code that is none of the cases (only reachable by casting) gives internalError.
    explicit SVError(Code code, std::string message = {});

    Code code() const noexcept { return code_; }
    // The case's position in the declaration order, 0 to 28.
    int rawCode() const noexcept { return static_cast<int>(code_); }
    // The message of `secureEnclaveError`; empty for every other case.
    const std::string& message() const noexcept { return message_; }
    // The snake-case identifier, the key of the case's text; absent for
    // `secureEnclaveError`, whose message is its text.
    std::optional<std::string> identifier() const;
    // The message for `secureEnclaveError`, otherwise the localised text.
    std::string errorDescription() const;
    // The error domain a host sees when it bridges the error by name.
    static constexpr const char* domain = "svsdk.SVError";

    const char* what() const noexcept override { return description_.c_str(); }

    friend bool operator==(const SVError& a, const SVError& b) {
        return a.code_ == b.code_ && a.message_ == b.message_;
    }

    // The text of `key` in the named table ("Errors" or "NetworkErrors"),
    // or the key between "**" and "**" when the table has no entry.
    static std::string localizedText(const std::string& key, const std::string& table);

private:
    Code code_;
    std::string message_;
    std::string description_;
};

// An error that the operating system or a library reported (file system,
// SQLite, a JSON parse failure, a system call). `domain` names the source
// ("posix", "sqlite", "json", "openssl", "curl", ...), `code` its number.
class SVPlatformError : public std::exception {
public:
    SVPlatformError(std::string domain, std::int64_t code, std::string message);
    const std::string& domain() const noexcept { return domain_; }
    std::int64_t code() const noexcept { return code_; }
    const std::string& message() const noexcept { return message_; }
    const char* what() const noexcept override { return description_.c_str(); }
    friend bool operator==(const SVPlatformError& a, const SVPlatformError& b) {
        return a.domain_ == b.domain_ && a.code_ == b.code_;
    }

private:
    std::string domain_;
    std::int64_t code_;
    std::string message_;
    std::string description_;
};

// A record that could not be decoded from its JSON form: a required key is
// missing, a value has the wrong type, or a value is not one of the allowed.
class SVDecodingError : public std::exception {
public:
    enum class Kind { keyNotFound, typeMismatch, valueNotFound, dataCorrupted };
    SVDecodingError(Kind kind, std::string codingPath, std::string message);
    Kind kind() const noexcept { return kind_; }
    const std::string& codingPath() const noexcept { return codingPath_; }
    const std::string& message() const noexcept { return message_; }
    const char* what() const noexcept override { return description_.c_str(); }
    friend bool operator==(const SVDecodingError& a, const SVDecodingError& b) {
        return a.kind_ == b.kind_ && a.codingPath_ == b.codingPath_;
    }

private:
    Kind kind_;
    std::string codingPath_;
    std::string message_;
    std::string description_;
};

}  // namespace svsdk
