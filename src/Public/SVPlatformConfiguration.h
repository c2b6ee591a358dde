#pragma once
// The platform seam. Everything the SDK takes from its surroundings (where it
// keeps its files, who the host application is, what identifies the device,
// and the providers of device data) comes from one configuration that the
// host sets before SVSDK::initialize and every test sets for isolation.
// Unset members take Linux defaults, described beside each.
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "SVLogging.h"

namespace svsdk {

// The host application, as its bundle would describe it.
struct SVAppInfo {
    std::string name;
    std::string version;      // user-visible version, e.g. "2.4.1"
    std::string buildNumber;  // e.g. "241"
};

// One mobile carrier of the device (one per SIM).
struct SVCarrier {
    std::string carrierName;
    std::string mobileCountryCode;
    std::string isoCountryCode;
};

// What the device knows of its Wi-Fi attachment.
struct SVWifiNetwork {
    std::string ssid;     // "" when not on Wi-Fi or unknown
    std::string localIp;  // numeric address of the Wi-Fi interface, "" when none
};

// A location fix.
struct SVLocationFix {
    double latitude = 0;
    double longitude = 0;
    double altitude = 0;
    double horizontalAccuracy = 0;
    double verticalAccuracy = 0;
    double timestamp = 0;  // seconds since 1970
};

// The screen of the device, in points, and its scale (pixels per point).
struct SVScreen {
    double width = 0;
    double height = 0;
    double scale = 0;
};

enum class SVLocationAuthorization { notDetermined, restricted, denied, authorizedAlways, authorizedWhenInUse };

// Where location comes from. The SDK asks whether location services are on,
// for the authorisation status and for one fix at a time; `completion` may be
// called on any thread, exactly once, with a fix or with nothing when none
// can be had. The SDK never asks the user for permission.
class SVLocationProvider {
public:
    virtual ~SVLocationProvider() = default;
    virtual bool locationServicesEnabled() { return true; }
    virtual SVLocationAuthorization authorizationStatus() = 0;
    virtual void requestLocation(std::function<void(std::optional<SVLocationFix>)> completion) = 0;
};

struct SVPlatformConfiguration {
    // The SDK's own folder (databases, keychain, defaults). Default:
    // $XDG_DATA_HOME/svsdk, or ~/.local/share/svsdk; created 0700 when missing.
    // A process with neither variable set must give one.
    std::string dataDirectory;
    // The keychain store (keys and generic-password items). Default:
    // <dataDirectory>/keychain.sqlite; created 0600.
    std::string keychainPath;
    // The defaults store (small records such as the stable time). Default:
    // <dataDirectory>/defaults.json; created 0600.
    std::string defaultsPath;

    // The host application's bundle identifier and information.
    std::string mainBundleIdentifier;
    SVAppInfo appInfo;

    // The identifier of the application's vendor on this device, as an
    // upper-case UUID text. Unset: derived from `machineIdPath` with
    // HMAC-SHA256 keyed by the main bundle identifier; absent when the file
    // cannot be read.
    std::optional<std::string> vendorIdentifier;
    std::string machineIdPath = "/etc/machine-id";

    // The public NTP server pool that start-up synchronises the clock with.
    std::string ntpServerHost = "pool.ntp.org";

    // Where log messages go; null writes "Category: text" lines to stderr.
    std::shared_ptr<SVLogSink> logSink;

    // Device-data providers. Unset providers give nothing (no location,
    // no carriers, no Wi-Fi name, the empty user agent); the Wi-Fi provider
    // defaults to reading the address of `wifiInterfaceName`. The carrier,
    // Wi-Fi and screen providers are called on the thread that builds a
    // request; the user-agent provider on the SDK's main queue, once per
    // `WifiInfo` user-agent fetch. A provider that throws gives nothing. Texts
    // that are not valid UTF-8 have each bad sequence replaced by U+FFFD.
    std::shared_ptr<SVLocationProvider> locationProvider;
    std::function<std::vector<SVCarrier>()> carrierProvider;
    std::function<SVWifiNetwork()> wifiProvider;
    std::string wifiInterfaceName = "wlan0";
    std::function<std::string()> userAgentProvider;
    // The screen; unset gives a zero size and scale.
    std::function<SVScreen()> screenProvider;
    // How long a location request waits for a fix before it is answered with
    // the empty location, in seconds (not finite or negative: 10).
    double locationTimeLimit = 10.0;
};

class SVPlatform {
public:
    SVPlatform() = delete;
    // Replaces the configuration; takes effect for every later use. Call it
    // before SVSDK::initialize. Thread-safe.
    static void configure(SVPlatformConfiguration configuration);
    // A copy of the configuration in force (as given, defaults not filled in).
    static SVPlatformConfiguration configuration();
};

}  // namespace svsdk
