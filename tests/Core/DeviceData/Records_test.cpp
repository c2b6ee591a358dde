#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <unistd.h>

#include <limits>
#include <regex>
#include <set>

#include <unicode/locid.h>

#include "Core/DeviceData/DeviceInfo.h"
#include "Core/DeviceData/SessionManager.h"
#include "Platform/Device.h"
#include "support/ScopedClock.h"
#include "support/TestEnvironment.h"
#include "support/Thrown.h"

using namespace svsdk;
using namespace svsdk::testing;
using Json = nlohmann::ordered_json;

namespace {

template <class T>
std::string encoded(const T& value) {
    return Json(value).dump();
}

TEST(DeviceDataRecordsTest, EncodingWritesEveryKeyInOrder) {
    DeviceInfo simOnly;
    simOnly.simInfo = SimInfo{};
    const std::pair<std::string, std::string> cases[] = {
        {encoded(Device{}),
         R"({"releaseBuildVersion":"","buildVersionCodeName":"REL","manufacturer":"Apple","model":"","product":"",)"
         R"("fingerprint":"","hardware":"","radioVersion":"","device":"","deviceID":"","board":"",)"
         R"("displayVersion":"","buildBrand":"Apple","buildHost":"","buildTime":0,"buildUser":"","serial":"",)"
         R"("osVersion":"","sdkVersion":0,"name":"","bootloader":"","screenDensity":"0.0","screenHeight":0,)"
         R"("screenWidth":0,"simulator":0,"timeZone":"","locale":"","defaultBrowser":"Safari","defaultSms":"",)"
         R"("cpu":"","certificates":[],"root":0})"},
        {encoded(AppInfo{"2.3", 45, "com.example", "Wallet"}),
         R"({"appVersionName":"2.3","appVersionCode":45,"packageName":"com.example","appName":"Wallet"})"},
        {encoded(SimInfo{"A", "310", "us", 1}),
         R"({"IMSI":"","phoneType":"","networkOperatorName":"","simSerial":"","roaming":0,"imei":"",)"
         R"("mmsAgent":"","mmsUrl":"","simOperatorName":"A","simCountryIso":"310","networkCountryIso":"us",)"
         R"("simCount":1})"},
        {encoded(WifiInfo{"192.168.1.20", "Home", "Agent/1.0"}),
         R"({"macAddress":"","localIp":"192.168.1.20","SSID":"Home","userAgent":"Agent/1.0"})"},
        {encoded(MemoryInfo{"2147483648"}),
         R"({"hasExternalSDCard":0,"totalRAM":"2147483648","totalInternalMemorySize":"","totalExternalMemorySize":""})"},
        {encoded(SensorInfo{}),
         R"({"name":"","vendor":"","version":0,"type":0,"maxRange":0,"minDelay":0,"resolution":0})"},
        {encoded(Location::from({10, -0.5, 0, 65, 0, 0})), R"({"latitude":"10.0","longitude":"-0.5","accuracy":"65.0"})"},
        {encoded(Location{}), R"({"latitude":"","longitude":"","accuracy":""})"},
        {encoded(DeviceInfo{}), "{}"},
        {encoded(Event{"E", "S", 1, std::nullopt}), R"({"device_event_id":"E","session_id":"S","device_time":1})"},
        {encoded(Event{"E", "S", -1, simOnly}),
         R"({"device_event_id":"E","session_id":"S","device_time":-1,"device_info":{"sim":)" + encoded(SimInfo{}) + "}}"},
        {encoded(LegacyEvent{"E", "S", 1}), R"({"eventID":"E","sessionID":"S","device_time":1})"},
        {encoded(simOnly), R"({"sim":)" + encoded(SimInfo{}) + "}"},
        {encoded(DeviceInfo{Device{}, AppInfo{}, SimInfo{}, WifiInfo{}, SensorInfo{}, MemoryInfo{}, Location{}}),
         R"({"device":)" + encoded(Device{}) + R"(,"app":)" + encoded(AppInfo{}) + R"(,"sim":)" + encoded(SimInfo{}) +
             R"(,"wifi":)" + encoded(WifiInfo{}) + R"(,"sensor":)" + encoded(SensorInfo{}) + R"(,"memory":)" +
             encoded(MemoryInfo{}) + R"(,"location":)" + encoded(Location{}) + "}"},
    };
    for (const auto& [json, expected] : cases) EXPECT_EQ(json, expected);
}

TEST(DeviceDataRecordsTest, DecodingNeedsExactlyTheCollectedKeys) {
    Device device;
    device.model = "x86_64";
    device.sdkVersion = 6;
    struct Case {
        std::string full;
        std::vector<std::string> required;
        std::function<std::string(const nlohmann::json&)> decode;  // the decoded record, encoded again
    } cases[] = {
        {encoded(device),
         {"buildVersionCodeName", "manufacturer", "model", "product", "deviceID", "osVersion", "sdkVersion", "name",
          "screenDensity", "screenHeight", "screenWidth", "simulator", "timeZone", "locale", "root"},
         [](const nlohmann::json& j) { return encoded(Device::decode(j)); }},
        {encoded(AppInfo{"2.3", 45, "com.example", "Wallet"}),
         {"appVersionName", "appVersionCode", "packageName", "appName"},
         [](const nlohmann::json& j) { return encoded(AppInfo::decode(j)); }},
        {encoded(SimInfo{"A", "310", "us", 1}), {"simOperatorName", "simCountryIso", "networkCountryIso", "simCount"},
         [](const nlohmann::json& j) { return encoded(SimInfo::decode(j)); }},
        {encoded(WifiInfo{"192.168.1.20", "Home", "Agent/1.0"}), {"localIp", "SSID", "userAgent"},
         [](const nlohmann::json& j) { return encoded(WifiInfo::decode(j)); }},
        {encoded(Location{"10.0", "-0.5", "65.0"}), {"latitude", "longitude", "accuracy"},
         [](const nlohmann::json& j) { return encoded(Location::decode(j)); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.full);
        const auto full = nlohmann::json::parse(c.full);
        // Only the required keys (fixed ones absent): the same record.
        nlohmann::json collectedOnly = nlohmann::json::object();
        for (const auto& key : c.required) collectedOnly[key] = full[key];
        EXPECT_EQ(c.decode(collectedOnly), c.full);
        for (const auto& key : c.required) {
            nlohmann::json without = full, wrongType = full;
            without.erase(key);
            auto missing = thrownAs<SVDecodingError>([&] { c.decode(without); });
            EXPECT_TRUE(missing && missing->kind() == SVDecodingError::Kind::keyNotFound) << key;
            wrongType[key] = full[key].is_string() ? nlohmann::json(1) : nlohmann::json("1");
            EXPECT_TRUE(thrownAs<SVDecodingError>([&] { c.decode(wrongType); })) << key;
        }
    }
    auto otherFixed = nlohmann::json::parse(encoded(device));
    otherFixed["buildBrand"] = "Other";
    otherFixed["certificates"] = {"x"};
    EXPECT_EQ(Device::decode(otherFixed), device);
    EXPECT_EQ(SensorInfo::decode(nlohmann::json{{"name", "gyro"}, {"version", 3}}), SensorInfo{});
    EXPECT_TRUE(thrownAs<SVDecodingError>([] { SensorInfo::decode(nlohmann::json::array()); }));
}

TEST(DeviceDataRecordsTest, DeviceHasTheSystemsValues) {
    ScopedPlatform platform;
    auto config = platform.configuration();
    config.screenProvider = [] { return SVScreen{414.9, 812.0, 3}; };
    platform.apply(config);
    const Device device = Device::current();
    char host[256] = {};
    ASSERT_EQ(gethostname(host, sizeof host - 1), 0);
    Device expected;
    expected.model = UIDevice::modelIdentifier();
    expected.name = host;
    expected.product = "Linux";
    expected.deviceID = "00000000-0000-4000-8000-000000000001";
    expected.osVersion = UIDevice::systemVersion();
    expected.sdkVersion = Device::majorVersion(expected.osVersion);
    expected.screenDensity = "3.0";
    expected.screenHeight = 812;
    expected.screenWidth = 414;
    expected.timeZone = device.timeZone;
    expected.locale = icu::Locale::getDefault().getName();
    expected.root = geteuid() == 0 ? 1 : 0;
    EXPECT_EQ(encoded(device), encoded(expected));
    EXPECT_GT(device.sdkVersion, 0);
    EXPECT_FALSE(device.timeZone.empty());
    EXPECT_EQ(MemoryInfo::current().totalRAM, std::to_string(UIDevice::physicalMemory()));
    EXPECT_GT(UIDevice::physicalMemory(), 0u);

    // Without a vendor identifier or screen, or with a scale that is no number: the empty values.
    config.vendorIdentifier.reset();
    config.machineIdPath = platform.dir().file("missing");
    config.screenProvider = []() -> SVScreen { throw std::runtime_error("no screen"); };
    platform.apply(config);
    const Device bare = Device::current();
    EXPECT_EQ(bare.deviceID + bare.screenDensity + std::to_string(bare.screenWidth), "0.00");
    config.screenProvider = [] { return SVScreen{1, 1, std::numeric_limits<double>::quiet_NaN()}; };
    platform.apply(config);
    EXPECT_EQ(Device::current().screenDensity, "0.0");

    const std::pair<const char*, std::int64_t> versions[] = {
        {"13.4.1", 13}, {"12", 12}, {"", 0}, {"beta.1", 0}, {".5", 5}, {"..7.", 7}, {"6.1.0-18-amd64", 6},
        {"5-rc1.2", 0}, {"99999999999999999999.1", 0}};
    for (const auto& [text, major] : versions) EXPECT_EQ(Device::majorVersion(text), major) << text;
    const std::pair<double, std::int64_t> lengths[] = {{375.0, 375}, {414.9, 414}, {-3.7, -3}, {std::nan(""), 0},
                                                       {1.0 / 0.0, 0}, {1e300, 0},   {-1e300, 0}};
    for (const auto& [points, value] : lengths) EXPECT_EQ(Device::screenLength(points), value) << points;
}

TEST(DeviceDataRecordsTest, InterfaceAddressIsTheLastAddressOfTheInterface) {
    char full[65];
    std::memset(full, 'a', sizeof full);  // fixed-size fields: read within their size
    EXPECT_EQ(fieldText(full, sizeof full), std::string(65, 'a'));
    EXPECT_EQ(fieldText("abc\0def", 7), "abc");

    sockaddr_in v4{AF_INET, 0, {}, {}}, other{AF_INET, 0, {}, {}};
    inet_pton(AF_INET, "192.168.1.20", &v4.sin_addr);
    inet_pton(AF_INET, "10.0.0.1", &other.sin_addr);
    sockaddr_in6 v6{};
    v6.sin6_family = AF_INET6;
    inet_pton(AF_INET6, "2001:db8::5", &v6.sin6_addr);
    sockaddr packet{};
    packet.sa_family = AF_PACKET;
    char wlan[] = "wlan0", eth[] = "eth0";
    auto entry = [](ifaddrs* next, char* name, void* address) {  // built back to front
        return ifaddrs{next, name, 0, static_cast<sockaddr*>(address), nullptr, {}, nullptr};
    };
    ifaddrs last = entry(nullptr, eth, &other), ipv6 = entry(&last, wlan, &v6), ipv4 = entry(&ipv6, wlan, &v4);
    ifaddrs link = entry(&ipv4, wlan, &packet), nameless = entry(&link, nullptr, &v4);
    ifaddrs addressless = entry(&nameless, wlan, nullptr);
    EXPECT_EQ(interfaceAddress(&addressless, "wlan0"), "2001:db8::5");
    EXPECT_EQ(interfaceAddress(&ipv4, "eth0"), "10.0.0.1");
    ipv4.ifa_next = &last;  // without the IPv6 entry
    EXPECT_EQ(interfaceAddress(&addressless, "wlan0"), "192.168.1.20");
    for (const char* none : {"wlan1", "wlan"}) EXPECT_EQ(interfaceAddress(&addressless, none), std::nullopt);
    EXPECT_EQ(interfaceAddress(nullptr, "wlan0"), std::nullopt);
}

TEST(DeviceDataRecordsTest, AppAndSimRecordsFromTheHostsValues) {
    const std::pair<SVAppInfo, AppInfo> apps[] = {
        {{"Wallet", "2.3", "45"}, {"2.3", 45, "com.example", "Wallet"}},
        {{"Wallet", "2.3", "+45"}, {"2.3", 45, "com.example", "Wallet"}},
        {{"Wallet", "2.3", "45.1"}, {"", 0, "com.example", ""}},
        {{"Wallet", "2.3", ""}, {"", 0, "com.example", ""}},
        {{"", "2.3", "45"}, {"", 0, "com.example", ""}},
        {{"Wallet", "", "45"}, {"", 0, "com.example", ""}},
        {{"Wal\xFFlet", "2.3", "45"}, {"2.3", 45, "com.example", "Wal\xEF\xBF\xBDlet"}},
    };
    for (const auto& [app, expected] : apps) EXPECT_EQ(AppInfo::from(app, "com.example"), expected) << app.name;
    EXPECT_EQ(AppInfo::from({"Wallet", "2.3", "45"}, "").packageName, "");

    const std::pair<std::vector<SVCarrier>, SimInfo> sims[] = {
        {{{"A", "310", "us"}, {"B", "234", "gb"}}, {"A | B", "310 | 234", "us | gb", 2}},
        {{{"A", "", ""}, {"B", "234", "gb"}}, {"A | B", "234", "gb", 2}},  // joined field by field
        {{{"", "", ""}}, {"", "", "", 1}},
        {{}, {"", "", "", 0}},
        {{{"Op\xC3", "1", "x"}}, {"Op\xEF\xBF\xBD", "1", "x", 1}},
    };
    for (const auto& [carriers, expected] : sims) EXPECT_EQ(SimInfo::from(carriers), expected) << carriers.size();

    ScopedPlatform platform;
    EXPECT_EQ(AppInfo::current(), (AppInfo{"1.0", 1, "org.svsdk.tests", "SVSDK Tests"}));
    EXPECT_EQ(SimInfo::current(), (SimInfo{"", "", "", 0}));  // no provider: no carrier
    auto config = platform.configuration();
    config.carrierProvider = [] { return std::vector<SVCarrier>{{"A", "310", "us"}}; };
    platform.apply(config);
    EXPECT_EQ(SimInfo::current(), (SimInfo{"A", "310", "us", 1}));
}

TEST(DeviceDataRecordsTest, WifiNetworkFromTheProviderOrTheInterfaceAndTheLastUserAgent) {
    ScopedPlatform platform;
    auto config = platform.configuration();
    config.wifiInterfaceName = "no-such-interface";
    platform.apply(config);
    EXPECT_EQ(WifiInfo::current().localIp + WifiInfo::current().SSID, "");
    config.wifiInterfaceName = "lo";
    platform.apply(config);
    const std::string loopback = WifiInfo::current().localIp;
    EXPECT_TRUE(loopback == "127.0.0.1" || loopback == "::1") << loopback;
    config.wifiProvider = [] { return SVWifiNetwork{"Caf\xE9 Net", "192.168.1.20"}; };
    platform.apply(config);
    EXPECT_EQ(WifiInfo::current(), (WifiInfo{"192.168.1.20", "Caf\xEF\xBF\xBD Net", ""}));

    const std::pair<std::function<std::string()>, std::string> agents[] = {
        {[] { return std::string("Agent/1.0 \xFF"); }, "Agent/1.0 \xEF\xBF\xBD"},
        {[]() -> std::string { throw std::runtime_error("no agent"); }, ""},
        {[] { return std::string("Agent/2.0"); }, "Agent/2.0"},
        {nullptr, ""},
    };
    for (const auto& [provider, kept] : agents) {
        config.userAgentProvider = provider;
        platform.apply(config);
        WifiInfo::loadUserAgent();
        EXPECT_EQ(WifiInfo::cachedUserAgent(), kept);
        EXPECT_EQ(WifiInfo::current().userAgent, kept);
    }
}

constexpr double kStart = 1700000000.0;

TEST(SessionManagerTest, SessionRollsOverAfterMoreThanFifteenIdleMinutes) {
    // Each step: move the clock, make an event, and say whether it continues the session of the one before.
    const std::pair<double, bool> steps[] = {
        {0, true},        // the first event makes the session
        {14 * 60, true},  // 14 minutes, then another 14: counted from the last event
        {14 * 60, true}, {900, true},  // exactly 15 minutes keeps it
        {900.001, false},
        {-3600, true},    // a clock set back keeps it
        {14 * 60, true},  // counted from the set-back event's own time
        {16 * 60, false},
    };
    const std::regex uuid("[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}");
    ScopedPlatform platform{SVLoggingOptions::debug};
    ScopedClock clock(kStart, 100);
    SessionManager sessions;
    std::string previous = sessions.currentSession().sessionID;
    EXPECT_TRUE(std::regex_match(previous, uuid));
    std::set<std::string> eventIDs;
    for (const auto& [advance, sameSession] : steps) {
        SCOPED_TRACE(advance);
        clock.advance(advance);
        Event event = sessions.makeEvent();
        EXPECT_EQ(event.sessionID == previous, sameSession);
        EXPECT_EQ(event.sessionID, sessions.currentSession().sessionID);
        EXPECT_TRUE(std::regex_match(event.eventID, uuid));
        EXPECT_TRUE(eventIDs.insert(event.eventID).second) << "event identifiers repeat";
        EXPECT_FALSE(event.deviceInfo);
        EXPECT_TRUE(platform.log().contains(SVLogCategory::events, "Using the session with ID: " + event.sessionID));
        previous = event.sessionID;
    }

    // A refresh creates the first session and marks it used.
    clock.set(kStart, 100);
    SessionManager fresh;
    fresh.refreshSession();
    const Session first = fresh.currentSession();
    EXPECT_EQ(first.lastEventDate, kStart);
    clock.advance(600);
    fresh.refreshSession();
    EXPECT_EQ(fresh.currentSession().sessionID, first.sessionID);
    EXPECT_EQ(fresh.currentSession().lastEventDate, kStart + 600);
}

TEST(SessionManagerTest, DeviceTimeIsTheDeviceClockInRoundedMilliseconds) {
    const double inf = std::numeric_limits<double>::infinity();
    const std::pair<double, std::int64_t> cases[] = {
        {kStart, 1700000000000},
        {1700000000.0625, 1700000000063},  // exactly halfway: away from zero
        {1.0625, 1063}, {-1.0625, -1063}, {0.0004, 0}, {std::nan(""), 0}, {inf, 0}, {-inf, 0},
        {9.3e15, 0},  // beyond 2^63 milliseconds
        {-9223372036854775.808, std::numeric_limits<std::int64_t>::min()},
    };
    ScopedClock clock(kStart, 100);
    SessionManager sessions;
    for (const auto& [seconds, milliseconds] : cases) {
        EXPECT_EQ(millisecondsSince1970(seconds), milliseconds) << seconds;
        clock.set(seconds, 100);
        EXPECT_EQ(sessions.makeEvent().deviceTime, milliseconds) << seconds;
    }
}

}  // namespace
