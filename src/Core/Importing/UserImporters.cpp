#include <set>

#include <nlohmann/json.hpp>

#include "Core/Importing/Deeplink.h"
#include "Core/Importing/ImporterSupport.h"
#include "Core/Importing/Importers.h"
#include "Core/Utilities/DateParsing.h"
#include "Core/Utilities/Encoding.h"
#include "Core/Utilities/Graphemes.h"
#include "Core/Utilities/JSON.h"
#include "Core/Utilities/Text.h"
#include "Core/Utilities/URL.h"
#include "Core/Utilities/UUID.h"
#include <svsdk/SVStringScanner.h>

namespace svsdk {
namespace {

using importing::guarded;
using importing::WipedTexts;

constexpr double kDefaultTimeSamplingInterval = 180.0;
constexpr const char* kPatternMismatch = "This QR doesn not match the SDK's QR codes pattern";

// A user made by an importer other than the JSON one.
SVUser importedUser(std::string userID, std::string systemID, UserFlags flags, std::string interactionURL,
                    UserKeysContent keys, double expirationTimestamp) {
    return SVUser(std::move(userID), std::move(systemID), SVUserOptions{flags}, std::move(interactionURL),
                  std::nullopt, std::nullopt, std::nullopt, std::nullopt, {}, kDefaultTimeSamplingInterval,
                  kDefaultTimeSamplingInterval, makeUUIDString(), 3, std::move(keys), expirationTimestamp);
}

std::optional<SVUser> plainTextUser(std::string_view text) {
    Logger::log(SVLogCategory::users, "Importing a user from a plain text");
    auto fail = [](const char* message) -> std::optional<SVUser> {
        Logger::error(SVLogCategory::users, message);
        return std::nullopt;
    };
    // Text that is not UTF-8 is none of the SDK's QR texts; it never reaches a user.
    if (!isValidUTF8(text)) return fail(kPatternMismatch);
    WipedTexts lines(ImportSource::lines(text, 9));  // later lines are never read
    std::optional<std::int64_t> codeType = lines.size() > 0 ? decimalInteger(lines[0]) : std::nullopt;
    if (!codeType || (*codeType != 201 && *codeType != 202)) return fail(kPatternMismatch);

    WipedTexts values;  // lines 1 to 8 trimmed; line 4 holds the keys
    for (std::size_t i = 1; i < 9; ++i)
        values.texts.push_back(i < lines.size() ? trimmingWhitespaceAndNewlines(lines[i]) : std::string());
    auto value = [&](std::size_t line) -> const std::string& { return values[line - 1]; };
    const bool present = lines.size() >= 2 && !value(1).empty() && lines.size() >= 3 && !value(2).empty() &&
                         lines.size() >= 5 && !value(4).empty() && lines.size() >= 6 && !value(5).empty() &&
                         lines.size() >= 7 && !value(6).empty();
    std::optional<std::int64_t> flags = present ? decimalInteger(value(6)) : std::nullopt;
    if (!flags || lines.size() < 9 || value(8).empty()) return fail("Required values are missing");
    auto expiry = dateFromAnyFormat(value(5));
    if (!expiry) return fail("Required values are missing");
    auto keys = bytesFromHex(value(4));
    if (!keys || !URL::parse(value(8))) return fail("Required values are missing");

    UserKeysContent content = UserKeysContent::importedEncrypted(std::move(*keys));
    if (*codeType == 201) {
        // kHMAC is the first half, kAuth the last; an odd middle byte belongs to neither.
        const Bytes& bytes = content.get<UserKeysContent::ImportedEncrypted>()->content;
        std::size_t half = bytes.size() / 2;
        content = UserKeysContent::importedDecrypted(Bytes(bytes.begin(), bytes.begin() + half),
                                                     Bytes(bytes.end() - half, bytes.end()));
    }
    return importedUser(value(2), value(1), UserFlags(*flags), value(8), std::move(content), *expiry);
}

// The canonical form of a whole text, character by character.
std::string canonicalText(std::string_view text) {
    std::string result, buffer;
    GraphemeCursor cursor(text);
    while (auto character = cursor.next()) result += canonicalForm(*character, buffer);
    return result;
}

std::optional<SVUser> xmlUser(std::string_view text) {
    Logger::log(SVLogCategory::users, "Importing a user from an XML");
    if (!isValidUTF8(text)) {
        Logger::error(SVLogCategory::users, "Wrong XML data");
        return std::nullopt;
    }
    auto tags = XMLUserImporter::tagValues(text, XMLUserImporter::tagNames());
    struct WipeKey {
        std::map<std::string, std::string>& tags;
        ~WipeKey() {
            if (auto key = tags.find("encryptedKey"); key != tags.end()) secureWipe(key->second);
        }
    } wipeKey{tags};
    for (const char* name : {"systemId", "userId", "expDate", "encryptedKey", "interactionExternalURL"})
        if (!tags.count(name)) {
            Logger::error(SVLogCategory::users, "Could not extract required values because of data is missing");
            return std::nullopt;
        }
    auto expiry = dateFromAnyFormat(tags["expDate"]);
    auto keys = expiry ? base64Decode(tags["encryptedKey"]) : std::nullopt;
    if (!keys || !URL::parse(tags["interactionExternalURL"])) {
        Logger::error(SVLogCategory::users, "Wrong XML data");
        return std::nullopt;
    }
    return importedUser(tags["userId"], tags["systemId"], XMLUserImporter::parseOptions(tags),
                        tags["interactionExternalURL"], UserKeysContent::importedEncrypted(std::move(*keys)), *expiry);
}

// Wipes the key texts of a parsed user JSON.
void wipeKeyMembers(nlohmann::json& json) {
    if (!json.is_object()) return;
    for (const char* key : {"key_content", "encrypted_key_content"})
        if (auto member = json.find(key); member != json.end() && member->is_string())
            secureWipe(member->get_ref<std::string&>());
}

std::optional<SVUser> jsonUser(std::string_view text) {
    Logger::log(SVLogCategory::users, "Importing a user from a JSON");
    nlohmann::json json;
    try {
        json = jsonDictionary(text);
        SVUser user = SVUser::decode(json);
        wipeKeyMembers(json);
        return user;
    } catch (const std::exception& e) {
        wipeKeyMembers(json);
        Logger::error(SVLogCategory::users, e.what());
        return std::nullopt;
    }
}

std::optional<SVUser> deepLinkUser(std::string_view text) {
    Logger::log(SVLogCategory::users, "Importing a user from a deeplink");
    Deeplink link(text);
    std::optional<std::string> json = link.action() == "user_key" ? link.value("key_json") : std::nullopt;
    if (!json) {
        Logger::error(SVLogCategory::users, "The deeplink does not match the importing scheme");
        return std::nullopt;
    }
    WipedTexts wiped({std::move(*json)});
    Logger::log(SVLogCategory::users, "Extracted a value from the deep link");
    return JSONUserImporter().importUser(wiped[0]);
}

}  // namespace

std::optional<SVUser> PlainTextUserImporter::importUser(std::string_view text) {
    return guarded(SVLogCategory::users, [&] { return plainTextUser(text); });
}

std::optional<SVUser> XMLUserImporter::importUser(std::string_view text) {
    return guarded(SVLogCategory::users, [&] { return xmlUser(text); });
}

std::optional<SVUser> JSONUserImporter::importUser(std::string_view text) {
    return guarded(SVLogCategory::users, [&] { return jsonUser(text); });
}

std::optional<SVUser> DeepLinkUserImporter::importUser(std::string_view text) {
    return guarded(SVLogCategory::users, [&] { return deepLinkUser(text); });
}

const std::vector<std::string>& XMLUserImporter::tagNames() {
    static const std::vector<std::string> names = {
        "systemId", "userId", "expDate", "encryptedKey", "interactionExternalURL",
        "withFingerPrint", "denyRenewPublicKey", "denyStoreWithOSProtection", "passPolicy",
        "collectEvent", "collectDeviceInfo", "collectDeviceSIMInfo", "collectDeviceLocation"};
    return names;
}

std::map<std::string, std::string> XMLUserImporter::tagValues(std::string_view text,
                                                              const std::vector<std::string>& names) {
    // One scan does the work of the name scan and of one scan per name:
    // matchers are independent, so together they report what each would
    // alone. Only the names asked for are followed, so the work stays
    // proportional to the text's length whatever tags it holds.
    std::map<std::string, std::string> canonicalNames;  // canonical form -> name
    std::size_t longest = 0;
    for (const auto& name : names) {
        canonicalNames.emplace(canonicalText(name), name);
        longest = std::max(longest, name.size());
    }
    std::set<std::string> seen;
    std::map<std::string, std::string_view> firstContent;
    std::vector<Matcher> matchers;
    matchers.emplace_back(std::vector<Identifier>{Identifier::anyString("<"), Identifier::prefix("<")},
                          std::vector<Terminator>{Terminator::anyString(">"), Terminator::suffix(">")}, true,
                          [&](const Substring& content, ClosedRange) {
                              // A name asked for is no longer than its canonical form is in UTF-8 times four.
                              if (content.text.size() > 4 * longest + 16) return;
                              if (auto found = canonicalNames.find(canonicalText(content.text));
                                  found != canonicalNames.end())
                                  seen.insert(found->second);
                          });
    for (const auto& name : names)
        matchers.emplace_back(Identifier::anyString("<" + name + ">"), Terminator::anyString("</" + name), false,
                              [&firstContent, name](const Substring& content, ClosedRange) {
                                  firstContent.emplace(name, content.text);
                              });
    scan(text, matchers);

    std::map<std::string, std::string> tags;
    for (const auto& name : seen)
        if (auto content = firstContent.find(name); content != firstContent.end()) {
            std::string trimmed = trimmingWhitespaceAndNewlines(content->second);
            if (!trimmed.empty()) tags[name] = std::string(content->second);
            secureWipe(trimmed);
        }
    return tags;
}

UserFlags XMLUserImporter::parseOptions(const std::map<std::string, std::string>& tags) {
    auto isTrue = [&](const char* name) {
        auto found = tags.find(name);
        return found != tags.end() && found->second == "true";
    };
    std::int64_t flags = 0;
    if (isTrue("withFingerPrint")) flags |= UserFlags::withFingerprint.rawValue;
    if (isTrue("denyRenewPublicKey")) flags |= UserFlags::denyRenewPubKey.rawValue;
    if (isTrue("denyStoreWithOSProtection")) flags |= UserFlags::denyStoreWithOSProtection.rawValue;
    if (auto policy = tags.find("passPolicy"); policy != tags.end())
        if (auto number = decimalInteger(policy->second); number && *number >= 1 && *number <= 3)
            flags |= *number << 5;
    if (isTrue("collectEvent")) flags |= UserFlags::collectEvents.rawValue;
    if (isTrue("collectDeviceInfo")) flags |= UserFlags::collectDeviceInfo.rawValue;
    if (isTrue("collectDeviceSIMInfo")) flags |= UserFlags::collectSimInfo.rawValue;
    if (isTrue("collectDeviceLocation")) flags |= UserFlags::collectLocation.rawValue;
    return UserFlags(flags);
}

std::unique_ptr<UserImporter> makeUserImporter(ImportSource kind) {
    switch (kind) {
        case ImportSource::json: return std::make_unique<JSONUserImporter>();
        case ImportSource::xml: return std::make_unique<XMLUserImporter>();
        case ImportSource::deepLink: return std::make_unique<DeepLinkUserImporter>();
        case ImportSource::plainText:
        case ImportSource::unrecognized: break;
    }
    return std::make_unique<PlainTextUserImporter>();
}

}  // namespace svsdk
