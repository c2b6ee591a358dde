#include <gtest/gtest.h>

#include "Core/Importing/Importers.h"
#include "Core/Utilities/DateParsing.h"
#include "Core/Utilities/Encoding.h"
#include "support/TestEnvironment.h"

using namespace svsdk;
using svsdk::testing::ScopedPlatform;

namespace {

Bytes range(std::size_t from, std::size_t to) {
    Bytes bytes;
    for (std::size_t i = from; i < to; ++i) bytes.push_back(static_cast<std::uint8_t>(i));
    return bytes;
}

std::string joined(const std::vector<std::string>& lines, const std::string& separator = "\n") {
    std::string text;
    for (std::size_t i = 0; i < lines.size(); ++i) text += (i ? separator : "") + lines[i];
    return text;
}

std::vector<std::string> plainUserLines(const std::string& code = "201") {
    return {code, " SYS-1 ", "user-1", "", hexString(range(0, 64)), "31.12.2030", "7", "", "https://sv.example.test/api"};
}

// The error lines an import logged.
std::vector<std::string> errors(ScopedPlatform& platform, SVLogCategory category) {
    std::vector<std::string> lines;
    for (const auto& e : platform.log().entries())
        if (e.type == SVLogType::error) {
            EXPECT_EQ(e.category, category) << e.message;
            lines.push_back(e.message);
        }
    return lines;
}

struct Failure {
    const char* name;
    std::string text;
    std::string error;
};

void expectFailures(UserImporter& importer, const std::vector<Failure>& failures) {
    for (const auto& f : failures) {
        ScopedPlatform platform(SVLoggingOptions::debug);
        EXPECT_FALSE(importer.importUser(f.text).has_value()) << f.name;
        EXPECT_EQ(errors(platform, SVLogCategory::users), std::vector<std::string>{f.error}) << f.name;
    }
}

}  // namespace

TEST(PlainTextUserImporterTest, ReadsTheNineLinesWithKeysInClearOrEncrypted) {
    ScopedPlatform platform(SVLoggingOptions::debug);
    PlainTextUserImporter importer;
    auto user = importer.importUser(joined(plainUserLines()) + "\nextra line");
    ASSERT_TRUE(user);
    EXPECT_EQ(user->systemID(), "SYS-1");
    EXPECT_EQ(user->userID(), "user-1");
    EXPECT_EQ(user->interactionURL(), "https://sv.example.test/api");
    EXPECT_EQ(user->options().flags, UserFlags(7));
    EXPECT_EQ(user->expirationTimestamp(), *dateFromAnyFormat("31.12.2030"));
    EXPECT_EQ(user->keysContent(), UserKeysContent::importedDecrypted(range(0, 32), range(32, 64)));
    EXPECT_EQ(user->userVersion(), 3);
    EXPECT_EQ(user->confirmationCodeTSI(), 180.0);
    EXPECT_EQ(user->authorizationCodeTSI(), 180.0);
    EXPECT_FALSE(user->apiVersion() || user->name() || user->systemName() || user->registeredDeviceToken());
    EXPECT_EQ(platform.log().entries().front().message, "Importing a user from a plain text");

    auto lines = plainUserLines("202");
    lines[4] = hexString(range(0, 48));
    auto encrypted = importer.importUser(joined(lines, "\r\n"));
    ASSERT_TRUE(encrypted);
    EXPECT_EQ(encrypted->keysContent(), UserKeysContent::importedEncrypted(range(0, 48)));
    EXPECT_FALSE(encrypted->isActivated());

    // An odd middle byte belongs to neither key.
    lines = plainUserLines();
    lines[4] = hexString(range(0, 5));
    EXPECT_EQ(importer.importUser(joined(lines))->keysContent(),
              UserKeysContent::importedDecrypted(range(0, 2), range(3, 5)));
    // Any decimal flag word, negative too, is kept whole; a bare word is a URL.
    lines = plainUserLines();
    lines[6] = "-1537";
    lines[8] = "server";
    auto odd = importer.importUser(joined(lines, "\r"));
    ASSERT_TRUE(odd);
    EXPECT_EQ(odd->options().flags, UserFlags(-1537));
    EXPECT_EQ(odd->interactionURL(), "server");

    auto again = importer.importUser(joined(plainUserLines()));
    EXPECT_EQ(again->userID(), user->userID());
    EXPECT_NE(again->storageID(), user->storageID());
}

TEST(PlainTextUserImporterTest, RefusesEachFaultWithItsLogLine) {
    const std::string pattern = "This QR doesn not match the SDK's QR codes pattern";
    const std::string missing = "Required values are missing";
    auto with = [](std::size_t line, std::string value) {
        auto lines = plainUserLines();
        lines[line] = std::move(value);
        return joined(lines);
    };
    auto first = [](std::size_t count) {
        auto lines = plainUserLines();
        lines.resize(count);
        return joined(lines);
    };
    PlainTextUserImporter importer;
    expectFailures(importer, {
        {"empty", "", pattern},
        {"code with a blank", with(0, "201 "), pattern},
        {"transaction code", with(0, "203"), pattern},
        {"code beyond 64 bits", with(0, "18446744073709551817"), pattern},
        {"invalid UTF-8", with(3, "\xFF"), pattern},
        {"eight lines", first(8), missing},
        {"one line", first(1), missing},
        {"blank system", with(1, " \t"), missing},
        {"empty user", with(2, ""), missing},
        {"empty keys", with(4, ""), missing},
        {"odd hex", with(4, "abc"), missing},
        {"not hex", with(4, "0g"), missing},
        {"unknown date", with(5, "12/31/2030"), missing},
        {"flags not a number", with(6, "0x10"), missing},
        {"flags beyond 64 bits", with(6, "9223372036854775808"), missing},
        {"empty URL", with(8, " "), missing},
        {"URL that does not parse", with(8, "https://a b"), missing},
    });
    // Lines 3 and 7 may hold anything; blanks around the values go.
    auto lines = plainUserLines();
    lines[3] = "anything at all";
    lines[2] = "\t user-1 \xC2\xA0";
    EXPECT_EQ(importer.importUser(joined(lines))->userID(), "user-1");
    EXPECT_TRUE(importer.importUser(with(6, "9223372036854775807")));
}

namespace {
std::string xmlUser(const std::string& extra = "", const std::string& userID = "7") {
    return "<?xml version=\"1.0\"?>\n<keyData>\n<systemId>SYS</systemId>\n<userId>" + userID +
           "</userId>\n<expDate>2030-12-31</expDate>\n<encryptedKey>" + base64Encode(range(0, 48)) +
           "</encryptedKey>\n<interactionExternalURL>https://sv.example.test</interactionExternalURL>\n" + extra +
           "</keyData>";
}
}  // namespace

TEST(XMLUserImporterTest, ReadsTheRequiredTagsAndTheOptionFlags) {
    XMLUserImporter importer;
    auto user = importer.importUser(xmlUser());
    ASSERT_TRUE(user);
    EXPECT_EQ(user->systemID(), "SYS");
    EXPECT_EQ(user->userID(), "7");
    EXPECT_EQ(user->interactionURL(), "https://sv.example.test");
    EXPECT_EQ(user->expirationTimestamp(), *dateFromAnyFormat("2030-12-31"));
    EXPECT_EQ(user->keysContent(), UserKeysContent::importedEncrypted(range(0, 48)));
    EXPECT_EQ(user->options().flags, UserFlags(0));
    EXPECT_EQ(importer.importUser(xmlUser("", " 7 "))->userID(), " 7 ") << "contents are not trimmed";

    struct Case {
        std::string options;
        std::int64_t flags;
    } cases[] = {
        {"<withFingerPrint>true</withFingerPrint><collectEvent>true</collectEvent>"
         "<collectDeviceInfo>true</collectDeviceInfo><collectDeviceSIMInfo>true</collectDeviceSIMInfo>"
         "<collectDeviceLocation>true</collectDeviceLocation><denyStoreWithOSProtection>true"
         "</denyStoreWithOSProtection><denyRenewPublicKey>true</denyRenewPublicKey><passPolicy>3</passPolicy>",
         0x1FF},
        {"<withFingerPrint>True</withFingerPrint><collectEvent> true</collectEvent>", 0},
        {"<passPolicy>1</passPolicy>", 0x20},
        {"<passPolicy>+2</passPolicy>", 0x40},
        {"<passPolicy>4</passPolicy>", 0},
        {"<passPolicy>abc</passPolicy>", 0},
        {"<passPolicy>18446744073709551619</passPolicy>", 0},
        {"<collectEvent></collectEvent><collectEvent>true</collectEvent>", 0x2},  // the empty one is never seen
        {"<collectEvent>false</collectEvent><collectEvent>true</collectEvent>", 0},  // the first counts
        {"<collectEvent>true", 0},  // no closing tag
        {"<collectEvent>true</collectEvent <x>", 0x2},  // a closing tag may lack its ">"
        {"<autosign>true</autosign><scoring>true</scoring>", 0},
    };
    for (const auto& c : cases) EXPECT_EQ(importer.importUser(xmlUser(c.options))->options().flags.rawValue, c.flags)
        << c.options;
}

TEST(XMLUserImporterTest, RefusesMissingAndWrongValuesWithTheirLogLines) {
    const std::string missing = "Could not extract required values because of data is missing";
    const std::string wrong = "Wrong XML data";
    auto replaced = [](const std::string& from, const std::string& to) {
        std::string text = xmlUser();
        text.replace(text.find(from), from.size(), to);
        return text;
    };
    XMLUserImporter importer;
    expectFailures(importer, {
        {"attribute on userId", replaced("<userId>", "<userId kind=\"x\">"), missing},
        {"blank first userId", replaced("<userId>7", "<userId> \n</userId><userId>7"), missing},
        {"no systemId", replaced("systemId", "system"), missing},
        {"userId inside another name", replaced("<userId>", "<x<userId>"), missing},
        {"blank after the date", replaced("2030-12-31", "2030-12-31 "), wrong},
        {"blank around the key", replaced("<encryptedKey>", "<encryptedKey> "), wrong},
        {"key not Base64", replaced("<encryptedKey>", "<encryptedKey>*"), wrong},
        {"URL with a space", replaced("https://sv", "https:// sv"), wrong},
        {"invalid UTF-8", replaced("SYS", "S\xC3"), wrong},
    });
}

TEST(XMLUserImporterTest, TagValuesFollowTheNamesAskedForAndCanonicalEquivalence) {
    auto tags = XMLUserImporter::tagValues("<a>1</a><b>2</b><a>3</a><c> </c>", {"a", "c", "d"});
    EXPECT_EQ(tags, (std::map<std::string, std::string>{{"a", "1"}}));
    // A name written with a KELVIN SIGN is canonically the same name.
    tags = XMLUserImporter::tagValues("<encrypted\xE2\x84\xAA" "ey>k</encryptedKey>", {"encryptedKey"});
    EXPECT_EQ(tags, (std::map<std::string, std::string>{{"encryptedKey", "k"}}));
}

namespace {
const std::string kUserJSON =
    R"({"user_id":"u-1","system_id":"S","key_flags":2,"expiration_timestamp":1900000000,)"
    R"("encrypted_key_content":"AAECAw==","sv_external_url":"https://sv.example.test","sv_key_version":3})";
}  // namespace

TEST(JSONUserImporterTest, DecodesTheUsersJSONFormAndLogsTheDecodersError) {
    JSONUserImporter importer;
    auto user = importer.importUser(kUserJSON);
    ASSERT_TRUE(user);
    EXPECT_EQ(user->userID(), "u-1");
    EXPECT_EQ(user->keysContent(), UserKeysContent::importedEncrypted(range(0, 4)));

    for (std::string text : {std::string("{"), std::string("[1]"), std::string(R"({"user_id":"u"})"),
                             std::string("{\"user_id\":\"\xFF\"}"), std::string(600, '[')}) {
        ScopedPlatform platform(SVLoggingOptions::debug);
        EXPECT_FALSE(importer.importUser(text)) << text;
        auto logged = errors(platform, SVLogCategory::users);
        ASSERT_EQ(logged.size(), 1u) << text;
        EXPECT_FALSE(logged[0].empty());
    }
}

TEST(JSONUserImporterTest, ParseFailuresLogNoneOfTheText) {
    // With every log option on: the line of a failed parse is no secret line.
    JSONUserImporter json;
    DeepLinkUserImporter link;
    for (auto [importer, text] : std::vector<std::pair<UserImporter*, std::string>>{
             {&json, R"({"user_id":"u","key_content":"SECRET4711)"},
             {&json, "{\"key_content\":\"SECRET4711\xff\"}"},
             {&link, "svsdk://user_key?key_json=%7B%22key_content%22%3A%22SECRET4711"}}) {
        ScopedPlatform platform(SVLoggingOptions::debug | SVLoggingOptions::keys);
        EXPECT_FALSE(importer->importUser(text)) << text;
        auto logged = errors(platform, SVLogCategory::users);
        ASSERT_EQ(logged.size(), 1u) << text;
        EXPECT_NE(logged[0].find("syntax error at byte"), std::string::npos) << logged[0];
        for (const auto& entry : platform.log().entries())
            EXPECT_EQ(entry.message.find("SECRET4711"), std::string::npos) << entry.message;
    }
}

TEST(DeepLinkUserImporterTest, TakesTheUserFromThePercentEncodedKeyJSON) {
    std::string encoded;
    for (unsigned char c : kUserJSON) {
        char escape[4];
        std::snprintf(escape, sizeof escape, "%%%02X", c);
        encoded += std::isalnum(c) ? std::string(1, static_cast<char>(c)) : std::string(escape);
    }
    DeepLinkUserImporter importer;
    {
        ScopedPlatform platform(SVLoggingOptions::debug);
        auto user = importer.importUser("svsdk://user_key?other=1&key_json=" + encoded);
        ASSERT_TRUE(user);
        EXPECT_EQ(user->userID(), "u-1");
        std::vector<std::string> messages;
        for (const auto& e : platform.log().entries()) messages.push_back(e.message);
        EXPECT_EQ(messages, (std::vector<std::string>{"Importing a user from a deeplink",
                                                      "Extracted a value from the deep link",
                                                      "Importing a user from a JSON"}));
    }
    EXPECT_TRUE(importer.importUser("other-scheme://user_key/path?key_json=" + encoded)) << "the scheme plays no part";

    const std::string scheme = "The deeplink does not match the importing scheme";
    expectFailures(importer, {
        {"another host", "svsdk://transaction?key_json=" + encoded, scheme},
        {"no key_json", "svsdk://user_key?json=" + encoded, scheme},
        {"first key_json empty", "svsdk://user_key?key_json=&key_json=" + encoded, scheme},
        {"no host", "user_key", scheme},
        {"not a URL", "svsdk://user_key?key_json={}", scheme},
    });
    ScopedPlatform platform(SVLoggingOptions::debug);
    EXPECT_FALSE(importer.importUser("svsdk://user_key?key_json=%7B%7D"));
    EXPECT_EQ(errors(platform, SVLogCategory::users).size(), 1u);
}

TEST(UserImporterFactoryTest, ChoosesTheImporterOfEachKind) {
    auto name = [](ImportSource kind) { return std::string(typeid(*makeUserImporter(kind)).name()); };
    EXPECT_EQ(name(ImportSource::json), typeid(JSONUserImporter).name());
    EXPECT_EQ(name(ImportSource::xml), typeid(XMLUserImporter).name());
    EXPECT_EQ(name(ImportSource::deepLink), typeid(DeepLinkUserImporter).name());
    EXPECT_EQ(name(ImportSource::plainText), typeid(PlainTextUserImporter).name());
    EXPECT_EQ(name(ImportSource::unrecognized), typeid(PlainTextUserImporter).name());
}
