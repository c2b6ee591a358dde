#include <gtest/gtest.h>

#include <svsdk/SVError.h>
#include <svsdk/SVNetworkError.h>
#include <svsdk/SVResult.h>

#include "Core/Diagnostics/Localization.h"

using namespace svsdk;

TEST(SVErrorTest, CasesHaveTheirCodesIdentifiersAndTexts) {
    for (int code = 1; code <= 28; ++code) {
        SVError error(static_cast<SVError::Code>(code));
        EXPECT_EQ(error.rawCode(), code);
        ASSERT_TRUE(error.identifier()) << code;
        EXPECT_NE(error.errorDescription(), "**" + *error.identifier() + "**") << "no text for " << code;
        EXPECT_STREQ(error.what(), error.errorDescription().c_str());
    }
    EXPECT_EQ(SVError::emptyKeys().identifier(), "empty_keys_content");
    EXPECT_EQ(SVError::binaryDataIsUnavaiable().identifier(), "binary_unavailable");
    EXPECT_EQ(SVError::binaryDataIsUnavaiable().rawCode(), 17);
    EXPECT_EQ(SVError::loginSessionIsExpired().identifier(), "login_session_is_expired");
    EXPECT_FALSE(SVError::secureEnclaveError("x").identifier());
    // A cast code outside the table stands for internalError, as an unknown network code stands for undefined.
    for (int outside : {29, 1000, -1, INT32_MIN}) {
        SVError error(static_cast<SVError::Code>(outside));
        EXPECT_EQ(error.code(), SVError::Code::internalError) << outside;
        EXPECT_EQ(error.identifier(), "internal_error");
    }
}

TEST(SVErrorTest, SecureEnclaveErrorCarriesItsMessageAndComparesByIt) {
    auto e = SVError::secureEnclaveError("key failed");
    EXPECT_EQ(e.errorDescription(), "key failed");
    EXPECT_STREQ(e.what(), "key failed");
    EXPECT_EQ(e, SVError::secureEnclaveError("key failed"));
    EXPECT_NE(e, SVError::secureEnclaveError("other"));
    EXPECT_NE(SVError::internalError(), SVError::secureEnclaveError(""));
    EXPECT_EQ(SVError(SVError::Code::invalidPassword, "ignored"), SVError::invalidPassword());
}

TEST(SVErrorTest, DescriptionFallsBackToTheIdentifierWithoutATable) {
    auto original = localization::table("Errors");
    auto originalNetwork = localization::table("NetworkErrors");
    localization::replaceTable("Errors", std::nullopt);
    localization::replaceTable("NetworkErrors", std::nullopt);
    EXPECT_EQ(SVError::emptyName().errorDescription(), "**empty_name**");
    EXPECT_EQ(SVNetworkError(SVNetworkError::Code::invalidHmac).errorDescription(), "**invalid_hmac**");
    EXPECT_EQ(SVError::localizedText("no_such_key", "Nowhere"), "**no_such_key**");
    localization::replaceTable("Errors", std::map<std::string, std::string>{{"empty_name", "Name fehlt."}});
    EXPECT_EQ(SVError::emptyName().errorDescription(), "Name fehlt.");
    localization::replaceTable("Errors", original);
    localization::replaceTable("NetworkErrors", originalNetwork);
}

TEST(SVNetworkErrorTest, The86CodesHaveIdentifiersAndTextsAndGapsMapToNothing) {
    int cases = 0;
    for (std::int64_t code = -5; code < 400; ++code) {
        auto error = SVNetworkError::fromRawValue(code);
        if (!error) continue;
        ++cases;
        EXPECT_EQ(error->errorCode(), code);
        EXPECT_NE(error->errorDescription(), "**" + error->identifier() + "**") << code;
        EXPECT_STREQ(error->what(), error->errorDescription().c_str());
    }
    EXPECT_EQ(cases, 86);
    for (std::int64_t gap : {0, 101, 150, 199, 223, 230, 260, 266, 296}) EXPECT_FALSE(SVNetworkError::fromRawValue(gap));
    EXPECT_FALSE(SVNetworkError::fromRawValue(INT64_MIN));

    EXPECT_EQ(SVNetworkError::fromRawValue(208)->code(), SVNetworkError::Code::userNotFound);
    EXPECT_EQ(SVNetworkError::fromRawValue(208)->identifier(), "user_not_found");
    EXPECT_EQ(SVNetworkError::fromRawValue(-1)->code(), SVNetworkError::Code::serverDoesNotRespond);
    EXPECT_EQ(SVNetworkError(SVNetworkError::Code::undefined).errorCode(), -2);
    EXPECT_EQ(SVNetworkError(SVNetworkError::Code::dsVerifyError).identifier(), "ds_verify_error");
}

TEST(SVNetworkErrorTest, EqualityAndHashingGoByTheCode) {
    SVNetworkError a(SVNetworkError::Code::keyExpired), b = *SVNetworkError::fromRawValue(295);
    EXPECT_EQ(a, b);
    EXPECT_EQ(std::hash<SVNetworkError>()(a), std::hash<SVNetworkError>()(b));
    EXPECT_NE(a, SVNetworkError(SVNetworkError::Code::pushNotFound));
    // A cast value that is no case is treated as `undefined`, not as a crash.
    SVNetworkError stray(static_cast<SVNetworkError::Code>(150));
    EXPECT_EQ(stray.code(), SVNetworkError::Code::undefined);
    EXPECT_EQ(stray.identifier(), "undefined");
}

TEST(SVFailureTest, KeepsTheExactErrorThroughAResult) {
    SVResult<int> failed = SVError::userNotFound();
    ASSERT_FALSE(failed.ok());
    EXPECT_TRUE(failed.error().is(SVError::Code::userNotFound));
    EXPECT_FALSE(failed.error().is(SVNetworkError::Code::userNotFound));
    EXPECT_THROW(failed.value(), SVError);
    SVResult<int> network = SVNetworkError(SVNetworkError::Code::invalidHmac);
    EXPECT_TRUE(network.error().is(SVNetworkError::Code::invalidHmac));
    EXPECT_EQ(SVResult<int>(7).value(), 7);
    EXPECT_TRUE(SVResult<void>().ok());

    auto capture = [](auto thrower) {
        try {
            thrower();
        } catch (...) {
            return SVFailure::fromCurrentException();
        }
        return SVFailure(SVError::internalError());
    };
    EXPECT_TRUE(capture([] { throw SVError::emptyPassword(); }).is(SVError::Code::emptyPassword));
    EXPECT_TRUE(capture([] { throw SVPlatformError("sqlite", 5, "busy"); }).is<SVPlatformError>());
    auto foreign = capture([] { throw std::runtime_error("boom"); });
    ASSERT_TRUE(foreign.is<SVPlatformError>());
    EXPECT_EQ(foreign.get<SVPlatformError>()->domain(), "exception");
    EXPECT_THROW(SVFailure(SVDecodingError(SVDecodingError::Kind::keyNotFound, "user_id", "")).raise(),
                 SVDecodingError);
}
