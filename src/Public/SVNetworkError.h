#pragma once
// The server's refusal codes. The server reports why it refused a request as a
// numeric code; each known code is one case. `undefined` stands for a missing
// or unknown code, `serverDoesNotRespond` for no answer at all.
#include <cstdint>
#include <exception>
#include <functional>
#include <optional>
#include <string>

namespace svsdk {

class SVNetworkError : public std::exception {
public:
    enum class Code : std::int64_t {
        undefined = -2,
        serverDoesNotRespond = -1,
        javaInternalError = 100,
        systemPropertyError = 200,
        systemIdIsNull = 201,
        systemIdIsWrong = 202,
        systemNotFound = 203,
        systemIsDeleted = 204,
        systemNameIsNull = 205,
        userIdIsNull = 206,
        userIdPrefIsNull = 207,
        userNotFound = 208,
        userIsDeleted = 209,
        dsVerifyError = 210,
        dsStructError = 211,
        storeTypeIsWrong = 212,
        keyContainerAliasIsNull = 213,
        keyContainerNotExists = 214,
        transactionDataUidError = 215,
        transactionDataError = 216,
        transactionDataIsNull = 217,
        reportTplIsNull = 218,
        requestError = 219,
        systemIdNotUnique = 220,
        requestSignatureNotValid = 221,
        systemNotValid = 222,
        transactionIsNull = 231,
        transactionChecked = 232,
        errorParseRegisterSystemInfo = 233,
        incorrectUserType = 234,
        collectionIsEmpty = 235,
        noResult = 236,
        pinIsEmpty = 237,
        fprintIsEmpty = 238,
        otpIsNotValid = 239,
        validDateExpired = 240,
        systemTypeIsWrong = 241,
        spartLengthIsWrong = 242,
        dataTypeIsWrong = 243,
        invalidHmac = 244,
        keyInfoNotFound = 245,
        wrongSystemType = 246,
        fprintIsNotEmpty = 247,
        wrongAuthCode = 248,
        confirmTypeIsNull = 249,
        storeTypeIsNull = 250,
        deviceTypeIsNull = 251,
        transactionDataTypeIsNull = 252,
        userIdPrefTooLong = 253,
        confirmCodeLengthIsWrong = 254,
        confirmCodeIsNull = 255,
        transactionIdIsNull = 256,
        statusListIsEmpty = 257,
        deviceIdIsNull = 258,
        deviceTypeIsIncorrect = 259,
        invalidOtp = 261,
        invalidKdf = 263,
        pinLengthIsWrong = 264,
        pushIdIsNull = 265,
        transactionStatusInvalid = 267,
        authCodeIsNull = 268,
        statusListIsIncorrect = 269,
        declineReasonIsNull = 270,
        transactionIsNotUnique = 271,
        billDateCorrupted = 272,
        userBillDateCorrupted = 273,
        transactionIsDeleted = 274,
        billRequestAlreadyProcessed = 275,
        pubkeyIsEmpty = 276,
        pubkeyIsNotEmpty = 277,
        signatureIsInvalid = 278,
        signatureIsNull = 279,
        signatureAndConfirmCodeAreNull = 280,
        transactionExpired = 281,
        jsonSchemeNotSupported = 282,
        jsonRequestIncorrect = 283,
        billingTypeCorrupted = 287,
        httpAuthCodeInvalid = 288,
        notSupported = 289,
        extAuthTemplateNotFound = 290,
        extAuthFailed = 291,
        extAuthTypeNotSupported = 292,
        extAuthNeeded = 293,
        userIsBlocked = 294,
        keyExpired = 295,
        pushNotFound = 297
    };

    // Implicit, like an enumeration case. A value that is no case (only
    // reachable by a cast) becomes `undefined`.
    SVNetworkError(Code code);
    // The case whose code equals `rawValue`, or nothing for any other number.
    static std::optional<SVNetworkError> fromRawValue(std::int64_t rawValue);

    Code code() const noexcept { return code_; }
    std::int64_t rawValue() const noexcept { return static_cast<std::int64_t>(code_); }
    std::int64_t errorCode() const noexcept { return rawValue(); }
    // The snake-case identifier, also the key of the case's text.
    std::string identifier() const;
    // The identifier's text in the table "NetworkErrors".
    std::string errorDescription() const;
    static std::string localizedText(const std::string& key);
    static constexpr const char* domain = "svsdk.SVNetworkError";

    const char* what() const noexcept override { return description_.c_str(); }
    friend bool operator==(const SVNetworkError& a, const SVNetworkError& b) { return a.code_ == b.code_; }

private:
    Code code_;
    std::string description_;
};

}  // namespace svsdk

// Hashing goes by the code, like equality.
template <>
struct std::hash<svsdk::SVNetworkError> {
    std::size_t operator()(const svsdk::SVNetworkError& error) const noexcept {
        return std::hash<std::int64_t>()(error.rawValue());
    }
};
