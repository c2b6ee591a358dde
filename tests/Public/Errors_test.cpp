#include <gtest/gtest.h>

#include <svsdk/SVError.h>
#include <svsdk/SVNetworkError.h>
#include <svsdk/SVResult.h>

#include "Core/Diagnostics/Localization.h"

using namespace svsdk;
using Kind = SVDecodingError::Kind;
using Net = SVNetworkError::Code;

TEST(SVErrorTest, CodesIdentifiersTextsAndEquality) {
    for (int code = 1; code <= 28; ++code) {
        SVError error(static_cast<SVError::Code>(code));
        ASSERT_EQ(error.rawCode(), code);
        EXPECT_NE(error.errorDescription(), "**" + error.identifier().value() + "**") << "no text for " << code;
        EXPECT_STREQ(error.what(), error.errorDescription().c_str());
    }
    EXPECT_EQ(SVError::loginSessionIsExpired().identifier(), "login_session_is_expired");
    EXPECT_FALSE(SVError::secureEnclaveError("key failed").identifier());
    for (int outside : {29, -1, INT32_MIN})  // a cast code outside the table stands for internalError
        EXPECT_EQ(SVError(static_cast<SVError::Code>(outside)).identifier(), "internal_error") << outside;
    int cases = 0;  // network codes: 86 with texts, gaps map to nothing, a cast stray is `undefined`
    for (std::int64_t code = -5; code < 400; ++code)
        if (auto error = SVNetworkError::fromRawValue(code); error && ++cases) {
            EXPECT_TRUE(error->errorCode() == code && error->errorDescription() != "**" + error->identifier() + "**") << code;
        }
    EXPECT_EQ(cases, 86);
    EXPECT_EQ(SVNetworkError::fromRawValue(208)->identifier(), "user_not_found");
    EXPECT_EQ(SVNetworkError(static_cast<Net>(150)).identifier(), "undefined");

    std::pair<bool, bool> equalities[] = {  // {equal, expected}
        {SVError::secureEnclaveError("a") == SVError::secureEnclaveError("a"), true},
        {SVError::secureEnclaveError("a") == SVError::secureEnclaveError("b"), false},
        {SVError::internalError() == SVError::secureEnclaveError(""), false},
        {SVError(SVError::Code::invalidPassword, "x") == SVError::invalidPassword(), true},
        {SVPlatformError("d", 1, "x") == SVPlatformError("d", 1, "y"), true},
        {SVPlatformError("d", 1, "") == SVPlatformError("e", 1, ""), false},
        {SVPlatformError("d", 1, "") == SVPlatformError("d", 2, ""), false},
        {SVDecodingError(Kind::keyNotFound, "a", "") == SVDecodingError(Kind::keyNotFound, "a", "m"), true},
        {SVDecodingError(Kind::keyNotFound, "a", "") == SVDecodingError(Kind::typeMismatch, "a", ""), false},
        {SVDecodingError(Kind::keyNotFound, "a", "") == SVDecodingError(Kind::keyNotFound, "b", ""), false},
        {SVNetworkError(Net::keyExpired) == *SVNetworkError::fromRawValue(295), true},
        {SVNetworkError(Net::keyExpired) == SVNetworkError(Net::pushNotFound), false},
    };
    for (std::size_t i = 0; i < std::size(equalities); ++i) EXPECT_EQ(equalities[i].first, equalities[i].second) << i;
}

TEST(SVErrorTest, TextsComeFromTheReplaceableTables) {
    auto original = localization::table("Errors");
    ASSERT_TRUE(original && original->at("empty_name") == "The name is empty.");
    localization::replaceTable("Errors", std::map<std::string, std::string>{{"empty_name", "Name fehlt."}});
    EXPECT_EQ(SVError::emptyName().errorDescription(), "Name fehlt.");
    EXPECT_EQ(SVError::emptyPassword().errorDescription(), "**empty_password**");
    localization::replaceTable("Errors", std::nullopt);
    EXPECT_EQ(SVError::emptyName().errorDescription(), "**empty_name**");
    EXPECT_EQ(SVError::localizedText("user_not_found", "NetworkErrors"), "User not found.");
    localization::replaceTable("Errors", original);
    EXPECT_EQ(SVError::emptyName().errorDescription(), "The name is empty.");
}

TEST(SVFailureTest, KeepsTheExactErrorThroughAResult) {
    SVResult<int> failed = SVError::userNotFound();
    EXPECT_TRUE(failed.error().is(SVError::Code::userNotFound) && !failed.error().is(Net::userNotFound));
    EXPECT_THROW(failed.value(), SVError);
    auto capture = [](auto thrower) {
        try {
            thrower();
        } catch (...) {
            return SVFailure::fromCurrentException();
        }
        return SVFailure(SVError::internalError());
    };
    EXPECT_TRUE(capture([] { throw SVNetworkError(Net::invalidHmac); }).is(Net::invalidHmac));
    EXPECT_EQ(capture([] { throw SVPlatformError("sqlite", 5, "busy"); }).get<SVPlatformError>()->domain(), "sqlite");
    EXPECT_EQ(capture([] { throw std::runtime_error("boom"); }).get<SVPlatformError>()->domain(), "exception");
    EXPECT_THROW(SVFailure(SVDecodingError(Kind::keyNotFound, "user_id", "")).raise(), SVDecodingError);
}
