#include <svsdk/Common/SVSDK.h>

#include <mutex>

#include <nlohmann/json.hpp>

#include "BuildConstants.h"
#include "Core/FatalError.h"
#include "Core/HostState.h"
#include "Core/DeviceData/LocationManager.h"
#include "Core/DeviceData/SessionManager.h"
#include "Core/DeviceData/WifiInfo.h"
#include "Core/Importing/ImportSource.h"
#include "Core/Importing/ImporterSupport.h"
#include "Core/Networking/APIInteractionManager.h"
#include "Core/Security/SecureEnclave.h"
#include "Core/Startup.h"
#include "Core/Time/NTPClient.h"
#include "Core/Logger.h"
#include "Core/Networking/RequestSettings.h"
#include "Core/Security/HandlesManager.h"
#include "Core/Storing/CoreDataManager.h"
#include "Core/TimeManager.h"
#include "Core/Utilities/Graphemes.h"
#include "Core/Utilities/JSON.h"
#include "Platform/DispatchQueue.h"
#include "Platform/PlatformConfiguration.h"

namespace svsdk {
namespace {

SVQRType analyzePlainText(std::string_view text) {
    // The first three characters (all of them when there are fewer).
    std::string code;
    GraphemeCursor cursor(text);
    for (int i = 0; i < 3; ++i)
        if (auto character = cursor.next()) code += *character;
    if (code == "201" || code == "202") return SVQRType::user;
    if (code == "203") return SVQRType::transaction;
    return SVQRType::none;
}

SVQRType analyzeJSON(std::string_view text) {
    nlohmann::json object;
    try {
        object = jsonDictionary(text);
    } catch (const SVPlatformError&) {  // not JSON
        return SVQRType::none;
    } catch (const SVError&) {  // JSON, but not an object at the top level
        return SVQRType::none;
    }
    if (object.contains("auth_template")) return SVQRType::restoreRequisites;
    if (object.contains("transaction_id")) return SVQRType::transaction;
    if (object.contains("sv_external_url")) return SVQRType::user;
    if (auto type = object.find("type"); type != object.end() && type->is_string() && *type == "login")
        return SVQRType::login;
    return SVQRType::none;
}

// A user's XML text ends with its keyData element; the opening tag alone
// also counts.
SVQRType analyzeXML(std::string_view text) {
    // The last `count` characters, or nothing when the text is shorter.
    auto suffix = [&](std::size_t count) -> std::optional<std::string> {
        auto characters = lastGraphemeClusters(text, count);
        if (characters.size() < count) return std::nullopt;
        std::string result;
        for (auto character : characters) result += character;
        return result;
    };
    if (suffix(9) == "<keyData>" || suffix(10) == "</keyData>") return SVQRType::user;
    return SVQRType::none;
}

}  // namespace

std::string SVSDK::version() { return build::kVersion; }

SVDate SVSDK::now() { return TimeManager::shared().now(); }

void SVSDK::restoreClockOffset() {
    auto restored = TimeManager::loadStableTime();
    TimeManager::setStableTime(restored);
    TimeManager::saveStableTime(restored);
}

std::string SVSDK::defaultDatabaseFileName() { return CoreDataManager::shared().databaseResourceName() + ".sqlite"; }

namespace startup {

std::optional<std::string> defaultDatabaseURL() {
    // Kept once found; a failure is tried again at the next call.
    static std::mutex lock;
    static std::optional<std::string> url;
    std::lock_guard guard(lock);
    if (!url) {
        try {
            url = platform::dataDirectory() + "/" + SVSDK::defaultDatabaseFileName();
        } catch (...) {
            return std::nullopt;
        }
    }
    return url;
}

void loadUserAgent() {
    DispatchQueue::main().async([] { WifiInfo::loadUserAgent(); });
}

}  // namespace startup

std::string SVSDK::defaultDatabaseURL() {
    auto url = startup::defaultDatabaseURL();
    if (!url) fatalError("Unable to create the default database path");
    return *url;
}

namespace {

// One start-up step; a failure is logged and the next step runs.
template <class Step>
void startupStep(const char* name, Step&& step) {
    try {
        std::forward<Step>(step)();
    } catch (...) {
        Logger::error(SVLogCategory::common,
                      std::string("Start-up step failed (") + name + "): " + SVFailure::fromCurrentException().description());
    }
}

}  // namespace

void SVSDK::initialize(const std::optional<std::string>& databaseURL, const std::optional<std::string>& accessGroup,
                       const Mode& mode) {
    Logger::log(SVLogCategory::common, "Configuring SDK");
    startupStep("database", [&] {
        auto url = databaseURL ? databaseURL : startup::defaultDatabaseURL();
        if (!url) Logger::error(SVLogCategory::common, "Unable to create the default database path");
        CoreDataManager::shared().setDatabaseURL(url);
    });
    startupStep("clock", [] { restoreClockOffset(); });
    startupStep("time synchronisation", [] { NTPClient::synchronizeClock(); });
    startupStep("access group", [&] { HostState::setAccessGroup(accessGroup); });
    startupStep("session", [] { SessionManager::shared().refreshSession(); });
    startupStep("user agent", [] { startup::loadUserAgent(); });
    startupStep("secret cache", [] { HandlesManager::shared().startObserving(); });
    startupStep("location", [] { LocationManager::shared().setup(); });
    if (const auto* extension = std::get_if<Mode::Extension>(&mode.value())) {
        startupStep("host", [&] { HostState::setHostBundleIdentifier(extension->mainAppBundleIdentifier); });
        startupStep("location", [] { LocationManager::shared().setLocationWhenInUseAvailable(false); });
        return;
    }
    startupStep("device key", [] { SecureEnclave::local().checkLocalKeyPair(); });
    startupStep("host", [] {
        std::string identifier = platform::current()->mainBundleIdentifier;
        HostState::setHostBundleIdentifier(identifier.empty() ? std::nullopt : std::optional(identifier));
    });
    startupStep("API versions", [] { APIInteractionManager::shared().checkServersAPIVersions(); });
}

double SVSDK::requestsTimeoutInterval() { return svsdk::requestsTimeoutInterval(); }

void SVSDK::setRequestsTimeoutInterval(double seconds) { svsdk::setRequestsTimeoutInterval(seconds); }

std::optional<std::string> SVSDK::hostBundleIdentifier() { return HostState::hostBundleIdentifier(); }

void SVSDK::setHandlesBackgroundTimeout(double seconds) {
    HandlesManager::shared().setHandlesBackgroundTimeout(seconds);
}

void SVSDK::setLogLevel(std::optional<SVLoggingOptions> options) {
    Logger::setOptions(options.value_or(SVLoggingOptions{}));
}

SVQRType SVSDK::analyze(const std::string& qrValue) {
    // Nothing the analysis meets (memory included) reaches the host: it gives none.
    return importing::guarded(
        SVLogCategory::common,
        [&] {
            switch (ImportSource::detect(qrValue)) {
                case ImportSource::plainText:
                    return analyzePlainText(qrValue);
                case ImportSource::json:
                    return analyzeJSON(qrValue);
                case ImportSource::xml:
                    return analyzeXML(qrValue);
                case ImportSource::deepLink:
                case ImportSource::unrecognized:
                    break;
            }
            return SVQRType::none;
        },
        SVQRType::none);
}

}  // namespace svsdk
