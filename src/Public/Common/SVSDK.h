#pragma once
// The SDK's facade: global answers (version, highest server API version,
// corrected time, default database location), process-wide settings (request
// time-out, log level, background time-out of unlocked secrets) and the
// classification of scanned QR texts. Static members only.
#include <optional>
#include <string>

#include "../SVDate.h"
#include "../SVLogging.h"
#include "../SVTransaction.h"

namespace svsdk {

class SVSDK {
public:
    SVSDK() = delete;

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
    //   anything else: none. Characters are grapheme clusters. Never fails.
    static SVQRType analyze(const std::string& qrValue);
};

}  // namespace svsdk
