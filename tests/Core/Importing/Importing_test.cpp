// Importing: the kind of a text, the string scanner, and what each importer reads or refuses (with its log line).
#include <gtest/gtest.h>

#include <numeric>

#include <svsdk/SVStringScanner.h>

#include "Core/Importing/Importers.h"
#include "Core/Utilities/DateParsing.h"
#include "Core/Utilities/Encoding.h"
#include "support/TestEnvironment.h"

using namespace svsdk;
using svsdk::testing::ScopedPlatform;

TEST(ImportSourceTest, DetectsEachKindByTheFirstRuleThatHoldsAndLogsIt) {
    using K = ImportSource;
    const char* recognized[] = {"Plain text is recognized", "JSON is recognized", "XML is recognized",
                                "Deep link is recognized", nullptr};
    std::pair<std::string, K::Kind> cases[] = {
        {"", K::unrecognized}, {"201", K::deepLink}, {"https://example.test/path?x=1#top", K::deepLink},
        {"%zz", K::plainText}, {"a\"b", K::plainText},  // a bad escape or a quote is no URL
        {"{ not json }", K::json}, {" {\"a\": 1}", K::unrecognized}, {"{\"a\": 1}\n", K::unrecognized},
        {"<a b>", K::xml}, {"<a>\n<x/>\n</a>", K::xml}, {"{<>}", K::json}, {"<{}>", K::xml},
        {"201\nSYS\nuser", K::plainText}, {"2011\nSYS", K::unrecognized}, {"20 \nSYS", K::plainText},
        {"201\r\nSYS", K::plainText}, {"201\rSYS", K::plainText}, {"201\xC2\x85SYS", K::plainText},
        {"201\xE2\x80\xA8SYS", K::plainText}, {"201\xE2\x80\xA9SYS", K::plainText},
        {"201\vSYS", K::unrecognized}, {"\n201", K::unrecognized}, {"a b", K::plainText}, {"a\"bc", K::unrecognized},
        // Characters are grapheme clusters; only the first and the last cluster decide JSON and XML.
        {"e\xCC\x81" "e\xCC\x81" "e\xCC\x81\nx", K::plainText},
        {"\xF0\x9F\x91\x8D\xF0\x9F\x8F\xBD" "ab\nx", K::plainText},
        {"{a}\xCC\x81", K::plainText}, {"{a\xD8\x80}", K::plainText}, {"{\xD8\x80}", K::unrecognized},
    };
    for (const auto& [text, kind] : cases) {
        ScopedPlatform platform(SVLoggingOptions::debug);
        EXPECT_EQ(ImportSource::detect(text), kind) << text;
        std::string logged;
        for (const auto& e : platform.log().entries())
            logged += SVLogCategoryName(e.category) + (": " + e.message) + "\n";
        EXPECT_EQ(logged, "Common: Checking the source type\n" +
                              (recognized[kind] ? "Common: " + std::string(recognized[kind]) + "\n" : ""));
    }
}

TEST(StringScannerTest, ReportsContentsAndSpansByTheScanRules) {
    using Reported = std::tuple<std::string, std::size_t, std::size_t>;  // content, span
    using I = Identifier;
    using T = Terminator;
    struct Case {
        std::string text;
        std::vector<Identifier> identifiers;
        std::vector<Terminator> terminators;
        bool multiple;
        std::vector<Reported> expected;
    } cases[] = {
        {"x=12;y=345", {"="}, {";", T::end()}, true, {{"12", 1, 4}, {"345", 6, 9}}}, {"aaab", {"aab"},
        {T::end()}, true, {}},
        {"a=b;", {"="}, {T::end(), ";"}, true, {{"b;", 1, 3}}},  // the first terminator that fits wins
        {"<a></a><a>z</a>", {"<a>"}, {"</a>"}, false, {{"z", 7, 14}}},  // an empty match neither counts nor retires
        {"x", {I::start()}, {T::end()}, true, {}}, {"xy", {I::start()}, {T::end()}, true, {{"xy", 0, 1}}},
        {"[[x]]", {"[", "[["}, {"]"}, true, {{"[x", 0, 3}}}, {"[[x]]", {"[[", "["}, {"]"}, true, {{"x", 0, 3}}},
        {"abdV;", {"abc", "xbd"}, {";"}, true, {}},  // a later identifier is compared from its start
        {"a;b;", {I::start()}, {T::suffix(";")}, true, {{"a;b", 0, 3}}},
        {"a;b;", {I::start()}, {T::anyString(";")}, true, {{"a", 0, 1}}},
        {"x=1;y=2;", {"="}, {";"}, false, {{"1", 1, 3}}}, {"xab=1;", {I::prefix("ab=")}, {";"}, true, {}},
        {"ab=1;=2;", {I::prefix("ab=")}, {";"}, true, {{"1", 0, 4}}}, {"abc", {I::anyString("")}, {T::end()}, true, {}},
        {"a=bc", {"="}, {T::anyString("")}, true, {{"b", 1, 2}}}, {"<a<b<", {"<"}, {"<"}, true, {{"a", 0, 2},
        {"b", 2, 4}}},
        // Characters are grapheme clusters, equal when canonically equivalent.
        {"=e\xCC\x81;", {"="}, {";"}, true, {{"e\xCC\x81", 0, 2}}}, {"=x>\xCC\xB8;", {"="}, {">"}, true, {}},
        {"<\xC3\xA9>v</\xC3\xA9>", {"<e\xCC\x81>"}, {"</e\xCC\x81"}, true, {{"v", 0, 6}}},
        {"=a\r\n;", {"="}, {"\r\n"}, true, {{"a", 0, 2}}}, {"=a\r;", {"="}, {"\r\n"}, true, {}},
    };
    for (const auto& c : cases) {
        std::vector<Reported> found;
        scan(c.text, {Matcher(c.identifiers, c.terminators, c.multiple, [&](const Substring& text, ClosedRange span) {
                 found.emplace_back(text.text, span.lowerBound, span.upperBound);
             })});
        EXPECT_EQ(found, c.expected) << c.text;
    }
}

TEST(StringScannerTest, MatchersRunIndependentlyOnTheirOwnCopyAndSlicesKeepPositions) {
    // Handlers change the caller's list, in place and by moving it: the scan
    // goes on with its own copy and never reads freed memory.
    std::vector<std::string> calls;
    std::vector<Matcher> matchers;
    matchers.push_back(Matcher("a", "c", true, [&](const Substring& content, ClosedRange span) {
        calls.push_back("first:" + std::string(content.text) + ":" + std::to_string(span.upperBound));
        matchers[0].allowMultipleMatches = false;
        matchers.push_back(Matcher("x", "y", true, nullptr));
    }));
    matchers.push_back(Matcher("b", "c", false, [&](const Substring& content, ClosedRange) {
        calls.push_back("second:" + std::string(content.text));
    }));
    scan("abxcabc", matchers);
    EXPECT_EQ(matchers.size(), 4u);
    // A slice keeps its positions in the whole text; contents are views of the text.
    std::string text = "head:x=12;";
    EXPECT_EQ(substrings(text, Identifier("="), Terminator(";")).at(0).text.data(), text.data() + 7);
    const Substring slice{std::string_view(text).substr(5), {5, 9}};
    scan(slice, {Matcher("=", ";", true, [&](const Substring& c, ClosedRange span) {
             calls.push_back(std::to_string(c.positions.lowerBound) + ":" + std::to_string(span.lowerBound) + "-" +
                             std::to_string(span.upperBound));
         })});
    EXPECT_EQ(calls, (std::vector<std::string>{"first:bx:3", "second:x", "first:b:6", "7:6-9"}));
}

namespace {

Bytes range(std::uint8_t from, std::uint8_t to) {
    Bytes bytes(to - from);
    std::iota(bytes.begin(), bytes.end(), from);
    return bytes;
}

// The nine lines of a user's plain text, with line `line` replaced by `value` (none: unchanged).
std::string plainUser(std::size_t line = 99, std::string value = "", const std::string& separator = "\n",
                      std::size_t count = 9) {
    std::vector<std::string> lines{"201", " SYS-1 ", "user-1", "", hexString(range(0, 64)), "31.12.2030", "7", "",
                                   "https://sv.example.test/api"};
    if (line < lines.size()) lines[line] = std::move(value);
    std::string text;
    for (std::size_t i = 0; i < count; ++i) text += (i ? separator : "") + lines[i];
    return text;
}

std::string xmlUser(const std::string& extra = "") {
    return "<?xml version=\"1.0\"?>\n<keyData>\n<systemId>SYS</systemId>\n<userId> 7 </userId>\n<expDate>2030-12-31"
           "</expDate>\n<encryptedKey>" + base64Encode(range(0, 48)) + "</encryptedKey>\n<interactionExternalURL>"
           "https://sv.example.test</interactionExternalURL>\n" + extra + "</keyData>";
}

std::string replaced(std::string text, const std::string& from, const std::string& to) {
    return text.replace(text.find(from), from.size(), to);
}

const std::string kTransactionJSON =
    R"({"transaction_id":"t","user_id":"u","system_id":"s","confirm_code_length":4})";
const std::string kUserJSON =
    R"({"user_id":"u-1","system_id":"S","key_flags":2,"expiration_timestamp":1900000000,)"
    R"("encrypted_key_content":"AAECAw==","sv_external_url":"https://sv.example.test","sv_key_version":3})";

std::string percentEncoded(const std::string& text) {
    std::string encoded;
    for (std::uint8_t c : text)
        encoded += std::isalnum(c) ? std::string(1, static_cast<char>(c)) : "%" + hexString({c});
    return encoded;
}

// The messages logged, each checked for its category.
std::vector<std::string> logged(ScopedPlatform& platform, SVLogCategory category) {
    std::vector<std::string> lines;
    for (const auto& e : platform.log().entries()) {
        EXPECT_EQ(e.category, category) << e.message;
        lines.push_back(e.message);
    }
    return lines;
}

}  // namespace

TEST(UserImportersTest, ReadTheirFormsIntoTheUser) {
    ScopedPlatform platform(SVLoggingOptions::debug);
    DeepLinkUserImporter link;
    EXPECT_EQ(link.importUser("svsdk://user_key?other=1&key_json=" + percentEncoded(kUserJSON))->userID(), "u-1");
    EXPECT_TRUE(link.importUser("other://user_key/path?key_json=" + percentEncoded(kUserJSON))) << "any scheme";
    EXPECT_EQ(logged(platform, SVLogCategory::users),
              (std::vector<std::string>{"Importing a user from a deeplink", "Extracted a value from the deep link",
                                        "Importing a user from a JSON", "Importing a user from a deeplink",
                                        "Extracted a value from the deep link", "Importing a user from a JSON"}));
    PlainTextUserImporter plain;
    auto user = plain.importUser(plainUser(2, "\t user-1 \xC2\xA0") + "\nextra line");
    ASSERT_TRUE(user);
    EXPECT_EQ(platform.log().entries().at(6).message, "Importing a user from a plain text");
    // The action is the host as the URL gives it, decoded.
    EXPECT_TRUE(link.importUser("x://user%5Fkey?key_json=" + percentEncoded(kUserJSON)));
    EXPECT_TRUE(DeepLinkTransactionImporter().importTransaction("x://%74ransaction?transaction_json=" +
        percentEncoded(R"({"transaction_id":"t","user_id":"u","system_id":"s","confirm_code_length":4})")));
    EXPECT_EQ(std::tuple(user->systemID(), user->userID(), user->interactionURL(), user->options().flags.rawValue),
              std::tuple("SYS-1", "user-1", "https://sv.example.test/api", 7));
    EXPECT_EQ(user->expirationTimestamp(), *dateFromAnyFormat("31.12.2030"));
    EXPECT_EQ(user->keysContent(), UserKeysContent::importedDecrypted(range(0, 32), range(32, 64)));
    EXPECT_NE(plain.importUser(plainUser())->storageID(), user->storageID());
    EXPECT_EQ(plain.importUser(replaced(plainUser(4, hexString(range(0, 48)), "\r\n"), "201", "202"))->keysContent(),
              UserKeysContent::importedEncrypted(range(0, 48)));
    // An odd middle byte belongs to neither key; any decimal flag word is kept whole; a bare word is a URL.
    EXPECT_EQ(plain.importUser(plainUser(4, hexString(range(0, 5))))->keysContent(),
              UserKeysContent::importedDecrypted(range(0, 2), range(3, 5)));
    EXPECT_EQ(plain.importUser(plainUser(6, "-1537", "\r"))->options().flags, UserFlags(-1537));
    EXPECT_EQ(plain.importUser(plainUser(8, "server"))->interactionURL(), "server");

    auto xml = XMLUserImporter().importUser(xmlUser()).value();  // contents are not trimmed
    EXPECT_EQ(std::tuple(xml.systemID(), xml.userID(), xml.interactionURL(), xml.expirationTimestamp(),
                         xml.keysContent()),
              std::tuple("SYS", " 7 ", "https://sv.example.test", *dateFromAnyFormat("2030-12-31"),
                         UserKeysContent::importedEncrypted(range(0, 48))));

    EXPECT_EQ(JSONUserImporter().importUser(kUserJSON)->keysContent(), UserKeysContent::importedEncrypted(range(0, 4)));

    // XML option tags and their flags.
    std::pair<std::string, std::int64_t> cases[] = {
        {"<withFingerPrint>true</withFingerPrint><collectEvent>true</collectEvent>"
         "<collectDeviceInfo>true</collectDeviceInfo><collectDeviceSIMInfo>true</collectDeviceSIMInfo>"
         "<collectDeviceLocation>true</collectDeviceLocation><denyStoreWithOSProtection>true"
         "</denyStoreWithOSProtection><denyRenewPublicKey>true</denyRenewPublicKey><passPolicy>3</passPolicy>", 0x1FF},
        {"", 0}, {"<withFingerPrint>True</withFingerPrint><collectEvent> true</collectEvent>", 0},
        {"<passPolicy>1</passPolicy>", 0x20}, {"<passPolicy>4</passPolicy>", 0}, {"<passPolicy>0</passPolicy>", 0},
        {"<collectEvent></collectEvent><collectEvent>true</collectEvent>", 0x2},  // an empty one is never seen...
        {"<collectEvent>false</collectEvent><collectEvent>true</collectEvent <x>", 0},  // ...but the first is
    };
    for (const auto& [options, flags] : cases)
        EXPECT_EQ(XMLUserImporter().importUser(xmlUser(options))->options().flags.rawValue, flags) << options;
    // A tag name written with a KELVIN SIGN is canonically the same name.
    EXPECT_EQ(XMLUserImporter::tagValues("<encrypted\xE2\x84\xAA" "ey>k</encryptedKey><b>2</b><c> </c>",
                                         {"encryptedKey", "c", "d"}),
              (std::map<std::string, std::string>{{"encryptedKey", "k"}}));
}

TEST(TransactionImportersTest, ReadTheValuesAndTheTextAfterLineFive) {
    auto plain = [](const std::string& text) { return PlainTextTransactionImporter().importTransaction(text); };
    EXPECT_EQ(*plain("203\n SYS \nuser-1\ntx-1\n1\n6\nPay 10 EUR\nto Bob\n"),
              SVTransaction("tx-1", "user-1", "SYS", 6, false, SVConfirmationType::offline, "Pay 10 EUR\nto Bob\n",
                            std::nullopt, SVTransaction::TextRenderType::raw, std::nullopt, std::nullopt, false));
    std::pair<std::string, std::string> texts[] = {
        {"203\nS\nU\nT\n1\n6", ""}, {"203\nS\nU\nT\n1\n6\n", ""}, {"203\nS\nU\ntx-6\n1\n6\nPay", "Pay"},
        {"203\nS\nU\nT\n1\n6\n6\nx", "6\nx"}, {"203\nS\nU\nT\n1\n 6\nPay", "Pay"},
        {"203\r\nS\r\nU\r\nT\r\n1\r\n6\r\nPay 6\r\nEUR", "Pay 6\r\nEUR"}, {"203\rS\rU\rT\r1\r6\rPay", "Pay"},
        {"203\nS\nU\nT\n1\n6\xE2\x80\xA8Pay", "Pay"}, {"203\nS\nU\nT\n1\n6 \nPay 6\nEUR", "Pay 6\nEUR"},
        {"203\nS\nU\nT\n1\n6\nPay \xFF\xFE!", "Pay \xEF\xBF\xBD\xEF\xBF\xBD!"},
    };
    for (const auto& [text, expected] : texts) EXPECT_EQ(plain(text)->text(), expected) << text;
    std::tuple<std::string, std::string, bool, std::int64_t> numbers[] = {  // type, length: offline, length
        {"0", "0", false, 0}, {"2", "-3", false, 6}, {"-1", "-1", false, 6},
        {"+1", "9223372036854775807", true, INT64_MAX}};
    for (const auto& [type, length, offline, codeLength] : numbers) {
        auto imported = plain("203\nS\nU\nT\n" + type + "\n" + length + "\n");
        ASSERT_TRUE(imported) << type << " " << length;
        EXPECT_EQ(std::pair(imported->confirmationType() == SVConfirmationType::offline,
                            imported->confirmationCodeLength()),
                  std::pair(offline, codeLength))
            << type << " " << length;
    }
    const std::string& json = kTransactionJSON;
    EXPECT_EQ(JSONTransactionImporter().importTransaction(json)->confirmationCodeLength(), 4);
    EXPECT_EQ(makeTransactionImporter(ImportSource::unrecognized), nullptr) << "plain text and XML: the plain-text one";
    EXPECT_TRUE(dynamic_cast<PlainTextTransactionImporter*>(makeTransactionImporter(ImportSource::xml).get()));
    EXPECT_TRUE(dynamic_cast<PlainTextUserImporter*>(makeUserImporter(ImportSource::unrecognized).get()));
    const std::string link = "any://transaction?x=1&transaction_json=" + percentEncoded(json);
    EXPECT_EQ(DeepLinkTransactionImporter().importTransaction(link)->transactionID(), "t");
}

TEST(ImportersTest, RefuseEachFaultWithItsLogLine) {
    const std::string pattern = "This QR doesn not match the SDK's QR codes pattern",
                      missing = "Required values are missing",
                      incorrect = "Required values are missing or incorect", wrong = "Wrong XML data",
                      absent = "Could not extract required values because of data is missing",
                      scheme = "The deeplink does not match the importing scheme", anyError,
                      type = "The QR code's type does not match the transaction's code type: ";
    const std::string encoded = percentEncoded(kUserJSON),
                      encodedT = percentEncoded(R"({"transaction_id":"t","user_id":"u","system_id":"s"})");
    using Import = std::function<bool(const std::string&)>;
    auto user = [](auto importer) {
        return Import([=](const std::string& t) mutable { return !!importer.importUser(t); });
    };
    auto transaction = [](auto importer) {
        return Import([=](const std::string& t) mutable { return !!importer.importTransaction(t); });
    };
    Import plain = user(PlainTextUserImporter()), xml = user(XMLUserImporter()), json = user(JSONUserImporter()),
           link = user(DeepLinkUserImporter()), plainT = transaction(PlainTextTransactionImporter()),
           jsonT = transaction(JSONTransactionImporter()), linkT = transaction(DeepLinkTransactionImporter());
    auto x = [](const std::string& from, const std::string& to) { return replaced(xmlUser(), from, to); };
    std::tuple<Import&, std::string, std::string> cases[] = {  // importer, text, error (empty: the decoder's)
        {plain, "", pattern}, {plain, plainUser(0, "201 "), pattern}, {plain, plainUser(0, "203"), pattern},
        {plain, plainUser(0, "18446744073709551817"), pattern}, {plain, plainUser(3, "\xFF"), pattern},
        {plain, plainUser(99, "", "\n", 8), missing}, {plain, plainUser(1, " \t"), missing},
        {plain, plainUser(2, ""), missing}, {plain, plainUser(4, ""), missing}, {plain, plainUser(4, "abc"), missing},
        {plain, plainUser(5, "12/31/2030"), missing}, {plain, plainUser(5, ""), missing},
        {plain, plainUser(6, ""), missing},
        {plain, plainUser(6, "9223372036854775808"), missing}, {plain, plainUser(8, " "), missing},
        {plain, plainUser(8, "https://a b"), missing},
        {xml, x("<userId>", "<userId kind=\"x\">"), absent},
        {xml, x("<userId> 7", "<userId> \n</userId><userId>7"), absent},
        {xml, x("systemId", "system"), absent}, {xml, x("expDate", "exp"), absent},
        {xml, x("encryptedKey", "key"), absent},
        {xml, x("interactionE", "e"), absent}, {xml, x("<userId>", "<x<userId>"), absent},
        {xml, x("2030-12-31", "2030-12-31 "), wrong}, {xml, x("<encryptedKey>", "<encryptedKey>*"), wrong},
        {xml, x("https://sv", "https:// sv"), wrong}, {xml, x("SYS", "S\xC3"), wrong},
        {json, "[1]", anyError}, {json, R"({"user_id":"u"})", anyError}, {json, std::string(600, '['), anyError},
        {json, kUserJSON + std::string(1, '\0') + " garbage }", anyError},
        {link, "svsdk://user_key?key_json=" + encoded + "%00garbage", anyError},
        {link, "svsdk://user_key?key_json=%7B%7D", anyError},
        {link, "svsdk://transaction?key_json=" + encoded, scheme}, {link, "svsdk://user_key?json=" + encoded, scheme},
        {link, "svsdk://user_key?key_json=&key_json=" + encoded, scheme}, {link, "user_key", scheme},
        {link, "svsdk://user_key?key_json={}", scheme},
        {plainT, "", pattern}, {plainT, "abc\nS\nU\nT\n1\n6", pattern}, {plainT, "203 \nS\nU\nT\n1\n6", pattern},
        {plainT, "204\nS\nU\nT\n1\n6", pattern}, {plainT, "203\nS\n\xC3\nT\n1\n6\ntext", pattern},
        {plainT, "201\nS\nU\nT\n1\n6", type + "201"},
        {plainT, "202", type + "202"},
        {plainT, "203\nS\nU\nT\n1", incorrect}, {plainT, "203\n \nU\nT\n1\n6", incorrect},
        {plainT, "203\nS\n\nT\n1\n6", incorrect},
        {plainT, "203\nS\nU\n\n1\n6", incorrect}, {plainT, "203\nS\nU\nT\n\n6", incorrect},
        {plainT, "203\nS\nU\nT\nyes\n6", incorrect},
        {plainT, "203\nS\nU\nT\n1\n6.0", incorrect}, {plainT, "203\nS\nU\nT\n99999999999999999999\n6", incorrect},
        {jsonT, "{\"transaction_id\":1}", anyError},
        {jsonT, kTransactionJSON + std::string(1, '\0') + kTransactionJSON, anyError},
        {jsonT, std::string(1000, '[') + std::string(1000, ']'), anyError},
        {linkT, "any://transaction?transaction_json=%7Bnot", anyError},
        {linkT, "any://user_key?transaction_json=" + encodedT, scheme},
        {linkT, "any://transaction?json=" + encodedT, scheme},
        {linkT, "any://transaction?transaction_json=&transaction_json=" + encodedT, scheme},
    };
    for (const auto& [import, text, error] : cases) {
        ScopedPlatform platform(SVLoggingOptions::debug);
        EXPECT_FALSE(import(text)) << text;
        std::vector<std::string> errors;
        for (const auto& e : platform.log().entries())
            if (e.type == SVLogType::error) errors.push_back(e.message);
        ASSERT_EQ(errors.size(), 1u) << text;
        EXPECT_TRUE(error.empty() || errors[0] == error) << text << ": " << errors[0];
    }
    // With every log option on, a failed parse logs none of the text.
    for (auto [importer, text] : std::vector<std::pair<Import*, std::string>>{
             {&json, R"({"user_id":"u","key_content":"SECRET4711)"}, {&json, "{\"key_content\":\"SECRET4711\xff\"}"},
             {&link, "svsdk://user_key?key_json=%7B%22key_content%22%3A%22SECRET4711"}}) {
        ScopedPlatform platform(SVLoggingOptions::debug | SVLoggingOptions::keys);
        EXPECT_FALSE((*importer)(text)) << text;
        for (const auto& entry : platform.log().entries())
            EXPECT_EQ(entry.message.find("SECRET4711"), std::string::npos) << entry.message;
    }
}

