#include <nlohmann/json.hpp>

#include "Core/Importing/Deeplink.h"
#include "Core/Importing/ImporterSupport.h"
#include "Core/Importing/Importers.h"
#include "Core/Utilities/JSON.h"
#include "Core/Utilities/Text.h"

namespace svsdk {
namespace {

using importing::guarded;

constexpr const char* kPatternMismatch = "This QR doesn not match the SDK's QR codes pattern";

std::optional<SVTransaction> plainTextTransaction(std::string_view text) {
    Logger::log(SVLogCategory::operations, "Importing a transaction from a plain text");
    auto fail = [](const std::string& message) -> std::optional<SVTransaction> {
        Logger::error(SVLogCategory::operations, message);
        return std::nullopt;
    };
    auto lines = ImportSource::lineRanges(text, 6);  // the text after line 5 is taken whole
    // The values (lines 0 to 5) must be UTF-8; the free text after them is
    // shown and signed, so bad bytes there become U+FFFD.
    const std::size_t valuesEnd = lines.size() > 5 ? lines[5].next : text.size();
    if (!isValidUTF8(text.substr(0, valuesEnd))) return fail(kPatternMismatch);
    auto line = [&](std::size_t i) { return text.substr(lines[i].begin, lines[i].end - lines[i].begin); };

    std::optional<std::int64_t> codeType = lines.empty() ? std::nullopt : decimalInteger(line(0));
    if (!codeType) return fail(kPatternMismatch);
    if (*codeType == 201 || *codeType == 202)
        return fail("The QR code's type does not match the transaction's code type: " + std::to_string(*codeType));
    if (*codeType != 203) return fail(kPatternMismatch);

    std::string values[6];
    for (std::size_t i = 1; i < 6 && i < lines.size(); ++i) values[i] = trimmingWhitespaceAndNewlines(line(i));
    bool present = lines.size() >= 6;
    for (std::size_t i = 1; i < 6; ++i) present = present && !values[i].empty();
    std::optional<std::int64_t> codeLength = present ? decimalInteger(values[5]) : std::nullopt;
    std::optional<std::int64_t> confirmType = codeLength ? decimalInteger(values[4]) : std::nullopt;
    if (!confirmType) return fail("Required values are missing or incorect");

    // The text starts right after line 5's own terminator, whichever it is.
    std::string body = replacingInvalidUTF8(text.substr(lines[5].next));
    return SVTransaction(values[3], values[2], values[1], *codeLength < 0 ? 6 : *codeLength, false,
                         *confirmType == 1 ? SVConfirmationType::offline : SVConfirmationType::online,
                         std::move(body), std::nullopt, SVTransaction::TextRenderType::raw, std::nullopt,
                         std::nullopt, false);
}

std::optional<SVTransaction> jsonTransaction(std::string_view text) {
    Logger::log(SVLogCategory::operations, "Importing a transaction from a JSON string");
    try {
        return SVTransaction::decode(jsonDictionary(text));
    } catch (const std::exception& e) {
        Logger::error(SVLogCategory::operations, e.what());
        return std::nullopt;
    }
}

std::optional<SVTransaction> deepLinkTransaction(std::string_view text) {
    Logger::log(SVLogCategory::operations, "Importing a transactions from a deeplink");
    Deeplink link(text);
    if (link.action() == "transaction")
        if (auto json = link.value("transaction_json")) return JSONTransactionImporter().importTransaction(*json);
    Logger::error(SVLogCategory::operations, "The deeplink does not match the importing scheme");
    return std::nullopt;
}

}  // namespace

std::optional<SVTransaction> PlainTextTransactionImporter::importTransaction(std::string_view text) {
    return guarded(SVLogCategory::operations, [&] { return plainTextTransaction(text); });
}

std::optional<SVTransaction> JSONTransactionImporter::importTransaction(std::string_view text) {
    return guarded(SVLogCategory::operations, [&] { return jsonTransaction(text); });
}

std::optional<SVTransaction> DeepLinkTransactionImporter::importTransaction(std::string_view text) {
    return guarded(SVLogCategory::operations, [&] { return deepLinkTransaction(text); });
}

std::unique_ptr<TransactionImporter> makeTransactionImporter(ImportSource kind) {
    switch (kind) {
        case ImportSource::plainText:
        case ImportSource::xml: return std::make_unique<PlainTextTransactionImporter>();
        case ImportSource::json: return std::make_unique<JSONTransactionImporter>();
        case ImportSource::deepLink: return std::make_unique<DeepLinkTransactionImporter>();
        case ImportSource::unrecognized: break;
    }
    return nullptr;
}

}  // namespace svsdk
