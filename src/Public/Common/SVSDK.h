#pragma once
// The SDK's facade: global answers (version, highest server API version,
// corrected time, default database location), process-wide settings (request
// time-out, log level, background time-out of unlocked secrets) and the
// classification of scanned QR texts. Static members only.
#include <optional>
#include <string>
#include <variant>

#include "../SVDate.h"
#include "../SVLogging.h"
#include "../SVTransaction.h"

namespace svsdk {

class SVSDK {
public:
    SVSDK() = delete;

    // Where the SDK runs: inside an app extension (with the bundle identifier
    // of the containing application) or inside the main application.
    class Mode {
    public:
        struct Extension {
            std::string mainAppBundleIdentifier;
            friend bool operator==(const Extension&, const Extension&) = default;
        };
        struct App {
            friend bool operator==(const App&, const App&) = default;
        };
        static Mode extension(std::string mainAppBundleIdentifier) {
            return Mode(Extension{std::move(mainAppBundleIdentifier)});
        }
        static Mode app() { return Mode(App{}); }
        const std::variant<Extension, App>& value() const { return value_; }
        friend bool operator==(const Mode&, const Mode&) = default;

    private:
        explicit Mode(std::variant<Extension, App> value) : value_(std::move(value)) {}
        std::variant<Extension, App> value_;
    };

    // Configures the SDK; call it once (after SVPlatform::configure) before
    // anything else. In this order, on the caller's thread: the database
    // location (`databaseURL`, else the default one), the stored clock
    // correction, a network-time run against the configured NTP host, the
    // keychain access group (none clears it), the event session, the
    // user-agent fetch (on the main queue), the secret cache's lifecycle
    // observers, the location service; then for an extension its host's
    // bundle identifier and no "when in use" location, for the app the
    // device key pair, the main bundle identifier and an API-version probe
    // of every stored user's server. It waits for nothing on the network and
    // throws nothing: a step that fails is logged (a database location that
    // cannot be had leaves the store unset, so storage operations fail with
    // a clear error) and the others still run. A second call runs every step
    // again.
    static void initialize(const std::optional<std::string>& databaseURL,
                           const std::optional<std::string>& accessGroup, const Mode& mode);

    // The SDK's version, e.g. "1.4.0".
    static std::string version();
    // The highest server protocol generation the SDK speaks.
    static constexpr int apiVersion() noexcept { return 3; }
    // The device clock corrected by the network-time offset.
    static SVDate now();
    // A start-up step: the clock correction becomes the stored one when it was
    // recorded since the device last booted (a restored record is written
    // back); otherwise there is none until the next network-time sample.
    static void restoreClockOffset();

    // The database resource name followed by ".sqlite".
    static std::string defaultDatabaseFileName();
    // Path of the default store: the SDK's data folder (created when missing)
    // and `defaultDatabaseFileName()`. Computed at the first call and kept;
    // a data folder that cannot be made stops the process.
    static std::string defaultDatabaseURL();

    // Seconds every server request built afterwards waits; 30 by default. A
    // value that is not a positive finite number is ignored.
    static double requestsTimeoutInterval();
    static void setRequestsTimeoutInterval(double seconds);

    // The host application's bundle identifier, recorded at start-up.
    static std::optional<std::string> hostBundleIdentifier();

    // Seconds that unlocked secrets survive in the background (15 by default).
    static void setHandlesBackgroundTimeout(double seconds);
    // The log options become the given set; none switches logging off.
    static void setLogLevel(std::optional<SVLoggingOptions> options);

    // What a scanned QR text holds:
    //   plain text  first three characters "201" or "202": user; "203": transaction
    //   JSON object with "auth_template": restoreRequisites; else "transaction_id":
    //               transaction; else "sv_external_url": user; else "type" equal
    //               to "login": login
    //   XML         ending with the opening or the closing keyData tag: user
    //   anything else: none. Characters are grapheme clusters. Never fails:
    //   any failure inside (memory included) is logged and gives none.
    static SVQRType analyze(const std::string& qrValue);
};

}  // namespace svsdk
