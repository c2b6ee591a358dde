#include <gtest/gtest.h>

#include "Core/Importing/Importers.h"
#include "support/TestEnvironment.h"

using namespace svsdk;
using svsdk::testing::ScopedPlatform;

namespace {

std::vector<std::string> errorLines(ScopedPlatform& platform) {
    std::vector<std::string> lines;
    for (const auto& e : platform.log().entries())
        if (e.type == SVLogType::error) {
            EXPECT_EQ(e.category, SVLogCategory::operations) << e.message;
            lines.push_back(e.message);
        }
    return lines;
}

std::optional<SVTransaction> importPlain(const std::string& text) {
    return PlainTextTransactionImporter().importTransaction(text);
}

}  // namespace

TEST(PlainTextTransactionImporterTest, ReadsTheValuesAndTheTextAfterLineFive) {
    auto transaction = importPlain("203\n SYS \nuser-1\ntx-1\n1\n6\nPay 10 EUR\nto Bob\n");
    ASSERT_TRUE(transaction);
    EXPECT_EQ(*transaction, SVTransaction("tx-1", "user-1", "SYS", 6, false, SVConfirmationType::offline,
                                          "Pay 10 EUR\nto Bob\n", std::nullopt, SVTransaction::TextRenderType::raw,
                                          std::nullopt, std::nullopt, false));

    struct Case {
        const char* name;
        std::string text;
        std::string expected;
    } texts[] = {
        {"nothing after line 5", "203\nS\nU\nT\n1\n6", ""},
        {"only a final line feed", "203\nS\nU\nT\n1\n6\n", ""},
        {"identifier ending like line 5", "203\nS\nU\ntx-6\n1\n6\nPay", "Pay"},
        {"text holding line 5's value", "203\nS\nU\nT\n1\n6\n6\nx", "6\nx"},
        {"leading blank on line 5", "203\nS\nU\nT\n1\n 6\nPay", "Pay"},
        // Where a search for line 5 and a bare line feed goes wrong, the text still starts after line 5.
        {"CR LF lines", "203\r\nS\r\nU\r\nT\r\n1\r\n6\r\nPay 6\r\nEUR", "Pay 6\r\nEUR"},
        {"CR lines", "203\rS\rU\rT\r1\r6\rPay", "Pay"},
        {"line separator", "203\nS\nU\nT\n1\n6\xE2\x80\xA8Pay", "Pay"},
        {"trailing blank on line 5", "203\nS\nU\nT\n1\n6 \nPay 6\nEUR", "Pay 6\nEUR"},
        {"invalid UTF-8 in the text", "203\nS\nU\nT\n1\n6\nPay \xFF\xFE!", "Pay \xEF\xBF\xBD\xEF\xBF\xBD!"},
    };
    for (const auto& c : texts) {
        auto imported = importPlain(c.text);
        ASSERT_TRUE(imported) << c.name;
        EXPECT_EQ(imported->text(), c.expected) << c.name;
    }

    struct Numbers {
        std::string type, length;
        SVConfirmationType confirmation;
        std::int64_t codeLength;
    } numbers[] = {
        {"0", "0", SVConfirmationType::online, 0},
        {"2", "-3", SVConfirmationType::online, 6},
        {"-1", "+8", SVConfirmationType::online, 8},
        {"+1", "9223372036854775807", SVConfirmationType::offline, INT64_MAX},
        {"-9223372036854775808", "-9223372036854775808", SVConfirmationType::online, 6},
    };
    for (const auto& n : numbers) {
        auto imported = importPlain("203\nS\nU\nT\n" + n.type + "\n" + n.length + "\n");
        ASSERT_TRUE(imported) << n.type << " " << n.length;
        EXPECT_EQ(imported->confirmationType(), n.confirmation) << n.type;
        EXPECT_EQ(imported->confirmationCodeLength(), n.codeLength) << n.length;
    }
}

TEST(PlainTextTransactionImporterTest, RefusesEachFaultWithItsLogLine) {
    const std::string pattern = "This QR doesn not match the SDK's QR codes pattern";
    const std::string missing = "Required values are missing or incorect";
    struct Case {
        const char* name;
        std::string text;
        std::string error;
    } cases[] = {
        {"empty", "", pattern},
        {"code not a number", "abc\nS\nU\nT\n1\n6", pattern},
        {"code with a blank", "203 \nS\nU\nT\n1\n6", pattern},
        {"other code", "204\nS\nU\nT\n1\n6", pattern},
        {"XML text", "<keyData><userId>1</userId></keyData>", pattern},
        {"user code 201", "201\nS\nU\nT\n1\n6", "The QR code's type does not match the transaction's code type: 201"},
        {"user code 202", "202", "The QR code's type does not match the transaction's code type: 202"},
        {"invalid UTF-8 in a value", "203\nS\n\xC3\nT\n1\n6\ntext", pattern},
        {"five lines", "203\nS\nU\nT\n1", missing},
        {"blank system", "203\n \nU\nT\n1\n6", missing},
        {"empty transaction", "203\nS\nU\n\n1\n6", missing},
        {"type not a number", "203\nS\nU\nT\nyes\n6", missing},
        {"length not a number", "203\nS\nU\nT\n1\n6.0", missing},
        {"length beyond 64 bits", "203\nS\nU\nT\n1\n9223372036854775808", missing},
        {"type beyond 64 bits", "203\nS\nU\nT\n99999999999999999999\n6", missing},
    };
    for (const auto& c : cases) {
        ScopedPlatform platform(SVLoggingOptions::debug);
        EXPECT_FALSE(importPlain(c.text)) << c.name;
        EXPECT_EQ(errorLines(platform), std::vector<std::string>{c.error}) << c.name;
        EXPECT_EQ(platform.log().entries().front().message, "Importing a transaction from a plain text");
    }
}

TEST(JSONAndDeepLinkTransactionImporterTest, DecodeTheJSONFormDirectlyOrFromTheLink) {
    const std::string json = R"({"transaction_id":"t","user_id":"u","system_id":"s","confirm_code_length":-1})";
    auto transaction = JSONTransactionImporter().importTransaction(json);
    ASSERT_TRUE(transaction);
    EXPECT_EQ(transaction->confirmationCodeLength(), 6);
    EXPECT_EQ(transaction->confirmationType(), SVConfirmationType::online);

    const std::string encoded =
        "%7B%22transaction_id%22%3A%22t%22%2C%22user_id%22%3A%22u%22%2C%22system_id%22%3A%22s%22%2C"
        "%22confirm_code_length%22%3A4%7D";
    DeepLinkTransactionImporter links;
    auto linked = links.importTransaction("any://transaction?transaction_json=" + encoded);
    ASSERT_TRUE(linked);
    EXPECT_EQ(linked->transactionID(), "t");
    EXPECT_EQ(linked->confirmationCodeLength(), 4);

    const std::string scheme = "The deeplink does not match the importing scheme";
    for (std::string text : {"any://user_key?transaction_json=" + encoded, "any://transaction?json=" + encoded,
                             "any://transaction?transaction_json=&transaction_json=" + encoded}) {
        ScopedPlatform platform(SVLoggingOptions::debug);
        EXPECT_FALSE(links.importTransaction(text)) << text;
        EXPECT_EQ(errorLines(platform), std::vector<std::string>{scheme}) << text;
        EXPECT_EQ(platform.log().entries().front().message, "Importing a transactions from a deeplink");
    }
    for (std::string text : {std::string("any://transaction?transaction_json=%7Bnot"), std::string("{\"transaction_id\":1}"),
                             std::string(1000, '[') + std::string(1000, ']')}) {
        ScopedPlatform platform(SVLoggingOptions::debug);
        EXPECT_FALSE(links.importTransaction(text) || JSONTransactionImporter().importTransaction(text));
        for (const auto& e : platform.log().entries())
            EXPECT_NE(e.message, "Extracted a value from the deep link");
        EXPECT_FALSE(errorLines(platform).empty());
    }
}

TEST(TransactionImporterFactoryTest, ChoosesTheImporterOfEachKind) {
    auto name = [](ImportSource kind) { return std::string(typeid(*makeTransactionImporter(kind)).name()); };
    EXPECT_EQ(name(ImportSource::plainText), typeid(PlainTextTransactionImporter).name());
    EXPECT_EQ(name(ImportSource::xml), typeid(PlainTextTransactionImporter).name());
    EXPECT_EQ(name(ImportSource::json), typeid(JSONTransactionImporter).name());
    EXPECT_EQ(name(ImportSource::deepLink), typeid(DeepLinkTransactionImporter).name());
    EXPECT_EQ(makeTransactionImporter(ImportSource::unrecognized), nullptr);
    EXPECT_STREQ(ImportSource(ImportSource::deepLink).displayName(), "Deep Link");
    EXPECT_STREQ(ImportSource(ImportSource::plainText).displayName(), "Plain Text");
}
