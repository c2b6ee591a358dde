#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <svsdk/SVError.h>
#include <svsdk/SVTransaction.h>

#include "Core/Utilities/JSONDecoding.h"
#include "support/Thrown.h"

using namespace svsdk;
using nlohmann::json;
using Kind = SVDecodingError::Kind;
using T = SVTransaction;

namespace {
SVDecodingError decodingErrorOf(const json& j) {
    return svsdk::testing::thrownAs<SVDecodingError>([&] { T::decode(j); }).value_or(SVDecodingError(Kind::keyNotFound, "none thrown", ""));
}
}  // namespace

TEST(TransactionTest, DecodesMembersAndSwallowsMistypedOptionalOnes) {
    EXPECT_EQ(T::decode(R"({"transaction_id": "T1", "user_id": "U1", "system_id": "S1", "confirm_code_length": 8,
        "extended_check": true, "text": "Pay 10", "text_render_type": "markdown", "binary_data_url": "https://x/doc",
        "binary_data": "AQID", "confirm_type": "OFFLINE", "autosign_enabled": false, "sv_transaction_version": "2"})"),
              T("T1", "U1", "S1", 8, true, SVConfirmationType::offline, "Pay 10", Bytes{1, 2, 3},
                T::TextRenderType::markdown, "2", "https://x/doc", false));
    const json minimal = {{"transaction_id", "T1"}, {"user_id", "U1"}, {"system_id", "S1"}, {"confirm_code_length", 6}};
    auto with = [](std::int64_t length, std::optional<Bytes> data = std::nullopt) {
        return T("T1", "U1", "S1", length, false, SVConfirmationType::online, std::nullopt, std::move(data));
    };
    std::tuple<const char*, json, T> cases[] = {
        {"extended_check", "true", with(6)}, {"extended_check", 1, with(6)}, {"text", 5, with(6)}, {"text", nullptr, with(6)},
        {"text_render_type", "html", with(6)}, {"binary_data", "not base64!", with(6)}, {"binary_data", json::array({1}), with(6)},
        {"binary_data", "", with(6, Bytes{})}, {"autosign_enabled", "yes", with(6)}, {"confirm_type", "offline", with(6)},
        {"confirm_code_length", -1, with(6)}, {"confirm_code_length", 0, with(0)}, {"confirm_code_length", 4.0, with(4)},
    };
    for (const auto& [key, value, expected] : cases) {
        json j = minimal;
        j[key] = value;
        EXPECT_EQ(T::decode(j), expected) << key << " " << value.dump();
    }
    EXPECT_TRUE(with(6, Bytes{}).hasBinaryData() && !with(6).hasBinaryData());
    EXPECT_TRUE(T("T", "U", "S", 6, false, SVConfirmationType::online, std::nullopt, std::nullopt, T::TextRenderType::raw,
                  std::nullopt, std::string("https://x")).hasBinaryData());

    // Required members: the decoder's error (a null value for a missing key).
    std::tuple<const char*, json, Kind> required[] = {
        {"transaction_id", json(), Kind::keyNotFound},        {"user_id", 7, Kind::typeMismatch},
        {"confirm_code_length", json(), Kind::keyNotFound},   {"confirm_code_length", "6", Kind::typeMismatch},
        {"confirm_code_length", 6.5, Kind::dataCorrupted},    {"confirm_code_length", 1e19, Kind::dataCorrupted},
        {"confirm_code_length", 18446744073709551615ull, Kind::dataCorrupted},
    };
    for (const auto& [key, value, kind] : required) {
        json j = minimal;
        if (value.is_null()) j.erase(key); else j[key] = value;
        auto error = decodingErrorOf(j);
        EXPECT_TRUE(error.kind() == kind && error.codingPath() == key) << key << " " << value.dump();
    }
    EXPECT_EQ(decodingErrorOf(json::array()).kind(), Kind::typeMismatch);
    EXPECT_EQ(decodingErrorOf(json()).kind(), Kind::valueNotFound);
    EXPECT_THROW(T::decode(R"({"transaction_id": ")" "\xff" R"(", "user_id": "U", "system_id": "S", "confirm_code_length": 6})"),
                 SVDecodingError);
    EXPECT_EQ(fromRawValue<SVQRType>("User"), std::nullopt);
    EXPECT_EQ(json::array({SVExtendedAuthMethod::ozBiometry}).dump(), R"(["oz_biometry"])");
}
