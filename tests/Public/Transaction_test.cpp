#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <svsdk/SVError.h>
#include <svsdk/SVTransaction.h>

#include "Core/Utilities/JSONDecoding.h"
#include "support/Thrown.h"

using namespace svsdk;
using nlohmann::json;
using Kind = SVDecodingError::Kind;
using Render = SVTransaction::TextRenderType;

namespace {

json minimal() {
    return {{"transaction_id", "T1"}, {"user_id", "U1"}, {"system_id", "S1"}, {"confirm_code_length", 6}};
}

// The minimal transaction with one member set.
SVTransaction decodeWith(const char* key, json value) {
    json j = minimal();
    j[key] = std::move(value);
    return SVTransaction::decode(j);
}

template <class F>
SVDecodingError decodingErrorOf(F&& call) {
    return svsdk::testing::thrownAs<SVDecodingError>(std::forward<F>(call)).value();
}

}  // namespace

TEST(TransactionTest, DecodesEveryMember) {
    auto t = SVTransaction::decode(R"({
        "transaction_id": "T1", "user_id": "U1", "system_id": "S1", "confirm_code_length": 8,
        "extended_check": true, "text": "Pay 10", "text_render_type": "markdown",
        "binary_data_url": "https://example.test/doc", "binary_data": "AQID",
        "confirm_type": "OFFLINE", "autosign_enabled": false, "sv_transaction_version": "2"})");
    EXPECT_EQ(t, SVTransaction("T1", "U1", "S1", 8, true, SVConfirmationType::offline, "Pay 10", Bytes{1, 2, 3},
                               Render::markdown, "2", "https://example.test/doc", false));
}

TEST(TransactionTest, OptionalMembersFallBackToDefaults) {
    auto t = SVTransaction::decode(minimal());
    EXPECT_EQ(t, SVTransaction("T1", "U1", "S1", 6, false, SVConfirmationType::online));
    EXPECT_FALSE(t.text() || t.downloadedBinaryData() || t.version() || t.binaryDataURLString() ||
                 t.isAutosignEnabled() || t.hasBinaryData());
    EXPECT_EQ(t.textRenderType(), Render::raw);

    // Mistyped or unknown optional members are swallowed.
    EXPECT_FALSE(decodeWith("extended_check", "true").extendedCheck());
    EXPECT_FALSE(decodeWith("extended_check", 1).extendedCheck());
    EXPECT_FALSE(decodeWith("text", 5).text());
    EXPECT_FALSE(decodeWith("text", nullptr).text());
    EXPECT_EQ(decodeWith("text_render_type", "html").textRenderType(), Render::raw);
    EXPECT_EQ(decodeWith("text_render_type", 3).textRenderType(), Render::raw);
    EXPECT_FALSE(decodeWith("binary_data", "not base64!").downloadedBinaryData());
    EXPECT_FALSE(decodeWith("binary_data", json::array({1, 2})).downloadedBinaryData());
    EXPECT_EQ(decodeWith("binary_data", "").downloadedBinaryData(), Bytes{});
    EXPECT_FALSE(decodeWith("autosign_enabled", "yes").isAutosignEnabled());
    EXPECT_EQ(decodeWith("autosign_enabled", true).isAutosignEnabled(), true);

    EXPECT_EQ(decodeWith("confirm_type", "PUSH").confirmationType(), SVConfirmationType::online);
    EXPECT_EQ(decodeWith("confirm_type", "OFFLINE").confirmationType(), SVConfirmationType::offline);
    EXPECT_EQ(decodeWith("confirm_type", "offline").confirmationType(), SVConfirmationType::online);
    EXPECT_EQ(decodeWith("confirm_code_length", -1).confirmationCodeLength(), 6);
    EXPECT_EQ(decodeWith("confirm_code_length", 0).confirmationCodeLength(), 0);
    EXPECT_EQ(decodeWith("confirm_code_length", 4.0).confirmationCodeLength(), 4);
}

TEST(TransactionTest, RequiredMembersGiveTheDecodersError) {
    struct Case {
        const char* key;
        json value;  // a missing key for keyNotFound
        Kind kind;
    } cases[] = {
        {"transaction_id", json(), Kind::keyNotFound},
        {"user_id", 7, Kind::typeMismatch},
        {"system_id", nullptr, Kind::valueNotFound},
        {"confirm_code_length", json(), Kind::keyNotFound},
        {"confirm_code_length", "6", Kind::typeMismatch},
        {"confirm_code_length", 6.5, Kind::dataCorrupted},
        {"confirm_code_length", 1e19, Kind::dataCorrupted},
        {"confirm_code_length", 18446744073709551615ull, Kind::dataCorrupted},
        {"confirm_code_length", nullptr, Kind::valueNotFound},
    };
    for (const auto& c : cases) {
        json j = minimal();
        if (c.kind == Kind::keyNotFound)
            j.erase(c.key);
        else
            j[c.key] = c.value;
        auto error = decodingErrorOf([&] { SVTransaction::decode(j); });
        EXPECT_EQ(error.kind(), c.kind) << c.key << " " << c.value.dump();
        EXPECT_EQ(error.codingPath(), c.key);
    }
    EXPECT_EQ(decodingErrorOf([] { SVTransaction::decode(json::array()); }).kind(), Kind::typeMismatch);
    EXPECT_EQ(decodingErrorOf([] { SVTransaction::decode(json()); }).kind(), Kind::valueNotFound);
    EXPECT_EQ(decodingErrorOf([] { SVTransaction::decode("{\"transaction_id\": "); }).kind(), Kind::dataCorrupted);
    std::string badUTF8 = R"({"transaction_id": ")" "\xff" R"(", "user_id": "U", "system_id": "S", "confirm_code_length": 6})";
    EXPECT_EQ(decodingErrorOf([&] { SVTransaction::decode(badUTF8); }).kind(), Kind::dataCorrupted);
}

TEST(TransactionTest, BinaryDataAndCopies) {
    auto original = decodeWith("binary_data_url", "https://example.test/doc");
    EXPECT_TRUE(original.hasBinaryData());
    EXPECT_FALSE(original.downloadedBinaryData());
    auto copy = original;
    copy.setDownloadedBinaryData(Bytes{9});
    EXPECT_FALSE(original.downloadedBinaryData());
    EXPECT_NE(copy, original);
    EXPECT_TRUE(SVTransaction("T", "U", "S", 6, false, SVConfirmationType::online, std::nullopt, Bytes{})
                    .hasBinaryData());
}

TEST(TransactionTest, EnumerationsTravelAsTheirExactText) {
    EXPECT_EQ(fromRawValue<SVQRType>("User"), std::nullopt);
    EXPECT_EQ(decodeValue<SVQRType>(json("none"), ""), SVQRType::none);
    EXPECT_EQ(json::array({SVExtendedAuthMethod::ozBiometry}).dump(), R"(["oz_biometry"])");
    auto error = decodingErrorOf([] { decodeValue<SVExtendedAuthMethod>(json("face"), "methods"); });
    EXPECT_EQ(error.kind(), Kind::dataCorrupted);
    EXPECT_EQ(error.codingPath(), "methods");
}

TEST(JSONDecodingTest, NestedPathsAndOptionalKinds) {
    json doc = {{"answer", {{"result", {{"error_code", "x"}, {"count", 3}, {"ratio", 1}}}}}};
    KeyedDecoder top(doc);
    auto result = top.nested("answer").nested("result");
    auto error = decodingErrorOf([&] { result.required<std::int64_t>("error_code"); });
    EXPECT_EQ(error.kind(), Kind::typeMismatch);
    EXPECT_EQ(error.codingPath(), "answer.result.error_code");
    EXPECT_THROW(result.optional<std::string>("count"), SVDecodingError) << "present but mistyped";
    EXPECT_EQ(result.optional<std::string>("missing"), std::nullopt);
    EXPECT_EQ(result.tryOptional<std::string>("count"), std::nullopt);
    EXPECT_EQ(result.required<double>("ratio"), 1.0);
    EXPECT_EQ(top.required<json::object_t>("answer").size(), 1u);
    EXPECT_THROW(top.required<json::array_t>("answer"), SVDecodingError);
    EXPECT_THROW(top.nested("missing"), SVDecodingError);
    EXPECT_EQ(decodeValue<std::int64_t>(json(-9223372036854775807LL - 1), ""), INT64_MIN);
    EXPECT_EQ(decodeValue<std::int64_t>(json(1e2), ""), 100);
    EXPECT_THROW(decodeValue<std::int64_t>(json(9223372036854775808.0), ""), SVDecodingError);
}
