#include <gtest/gtest.h>

#include <limits>

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include <unicode/locid.h>

#include "Core/DeviceData/DeviceInfo.h"
#include "Platform/Device.h"
#include "support/TestEnvironment.h"
#include "support/Thrown.h"

using namespace svsdk;
using namespace svsdk::testing;
using Json = nlohmann::ordered_json;

namespace {

template <class T>
Json encoded(const T& value) {
    Json json = value;
    return json;
}

std::vector<std::string> keysOf(const Json& object) {
    std::vector<std::string> keys;
    for (const auto& [key, value] : object.items()) keys.push_back(key);
    return keys;
}

TEST(DeviceDataRecordsTest, EncodingWritesEveryKeyInOrder) {
    DeviceInfo all{Device{}, AppInfo{}, SimInfo{}, WifiInfo{}, SensorInfo{}, MemoryInfo{}, Location{}};
    struct Case {
        const char* name;
        Json json;
        std::string expected;
    } cases[] = {
        {"device", encoded(Device{}),
         R"({"releaseBuildVersion":"","buildVersionCodeName":"REL","manufacturer":"Apple","model":"","product":"",)"
         R"("fingerprint":"","hardware":"","radioVersion":"","device":"","deviceID":"","board":"",)"
         R"("displayVersion":"","buildBrand":"Apple","buildHost":"","buildTime":0,"buildUser":"","serial":"",)"
         R"("osVersion":"","sdkVersion":0,"name":"","bootloader":"","screenDensity":"0.0","screenHeight":0,)"
         R"("screenWidth":0,"simulator":0,"timeZone":"","locale":"","defaultBrowser":"Safari","defaultSms":"",)"
         R"("cpu":"","certificates":[],"root":0})"},
        {"app", encoded(AppInfo{"2.3", 45, "com.example", "Wallet"}),
         R"({"appVersionName":"2.3","appVersionCode":45,"packageName":"com.example","appName":"Wallet"})"},
        {"sim", encoded(SimInfo{"A", "310", "us", 1}),
         R"({"IMSI":"","phoneType":"","networkOperatorName":"","simSerial":"","roaming":0,"imei":"",)"
         R"("mmsAgent":"","mmsUrl":"","simOperatorName":"A","simCountryIso":"310","networkCountryIso":"us",)"
         R"("simCount":1})"},
        {"wifi", encoded(WifiInfo{"192.168.1.20", "Home", "Agent/1.0"}),
         R"({"macAddress":"","localIp":"192.168.1.20","SSID":"Home","userAgent":"Agent/1.0"})"},
        {"memory", encoded(MemoryInfo{"2147483648"}),
         R"({"hasExternalSDCard":0,"totalRAM":"2147483648","totalInternalMemorySize":"",)"
         R"("totalExternalMemorySize":""})"},
        {"sensor", encoded(SensorInfo{}),
         R"({"name":"","vendor":"","version":0,"type":0,"maxRange":0,"minDelay":0,"resolution":0})"},
        {"location", encoded(Location::from({10, -0.5, 0, 65, 0, 0})),
         R"({"latitude":"10.0","longitude":"-0.5","accuracy":"65.0"})"},
        {"empty location", encoded(Location{}), R"({"latitude":"","longitude":"","accuracy":""})"},
        {"no part", encoded(DeviceInfo{}), "{}"},
    };
    for (const auto& c : cases) EXPECT_EQ(c.json.dump(), c.expected) << c.name;
    EXPECT_EQ(keysOf(encoded(all)),
              (std::vector<std::string>{"device", "app", "sim", "wifi", "sensor", "memory", "location"}));
    DeviceInfo simOnly;
    simOnly.simInfo = SimInfo{};
    EXPECT_EQ(keysOf(encoded(simOnly)), std::vector<std::string>{"sim"});
}

TEST(DeviceDataRecordsTest, DecodingNeedsExactlyTheCollectedKeys) {
    Device device;
    device.model = "x86_64";
    device.sdkVersion = 6;
    struct Case {
        const char* name;
        Json full;
        std::vector<std::string> required;
        std::function<Json(const nlohmann::json&)> decode;  // the decoded record, encoded again
    } cases[] = {
        {"device", encoded(device),
         {"buildVersionCodeName", "manufacturer", "model", "product", "deviceID", "osVersion", "sdkVersion", "name",
          "screenDensity", "screenHeight", "screenWidth", "simulator", "timeZone", "locale", "root"},
         [](const nlohmann::json& j) { return encoded(Device::decode(j)); }},
        {"app", encoded(AppInfo{"2.3", 45, "com.example", "Wallet"}),
         {"appVersionName", "appVersionCode", "packageName", "appName"},
         [](const nlohmann::json& j) { return encoded(AppInfo::decode(j)); }},
        {"sim", encoded(SimInfo{"A", "310", "us", 1}),
         {"simOperatorName", "simCountryIso", "networkCountryIso", "simCount"},
         [](const nlohmann::json& j) { return encoded(SimInfo::decode(j)); }},
        {"wifi", encoded(WifiInfo{"192.168.1.20", "Home", "Agent/1.0"}), {"localIp", "SSID", "userAgent"},
         [](const nlohmann::json& j) { return encoded(WifiInfo::decode(j)); }},
        {"location", encoded(Location{"10.0", "-0.5", "65.0"}), {"latitude", "longitude", "accuracy"},
         [](const nlohmann::json& j) { return encoded(Location::decode(j)); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const nlohmann::json full = nlohmann::json::parse(c.full.dump());
        // Only the required keys (fixed ones absent): the same record.
        nlohmann::json collectedOnly = nlohmann::json::object();
        for (const auto& key : c.required) collectedOnly[key] = full[key];
        EXPECT_EQ(c.decode(collectedOnly), c.full);
        for (const auto& key : c.required) {
            SCOPED_TRACE(key);
            nlohmann::json without = full;
            without.erase(key);
            auto missing = thrownAs<SVDecodingError>([&] { c.decode(without); });
            EXPECT_TRUE(missing && missing->kind() == SVDecodingError::Kind::keyNotFound);
            nlohmann::json wrongType = full;
            wrongType[key] = full[key].is_string() ? nlohmann::json(1) : nlohmann::json("1");
            EXPECT_TRUE(thrownAs<SVDecodingError>([&] { c.decode(wrongType); }));
        }
    }
    nlohmann::json otherFixed = nlohmann::json::parse(encoded(device).dump());
    otherFixed["buildBrand"] = "Other";
    otherFixed["certificates"] = {"x"};
    EXPECT_EQ(Device::decode(otherFixed), device);
    EXPECT_EQ(SensorInfo::decode(nlohmann::json{{"name", "gyro"}, {"version", 3}}), SensorInfo{});
    EXPECT_TRUE(thrownAs<SVDecodingError>([] { SensorInfo::decode(nlohmann::json::array()); }));
}

TEST(DeviceRecordTest, CollectsTheSystemsValues) {
    ScopedPlatform platform;
    auto config = platform.configuration();
    config.screenProvider = [] { return SVScreen{414.9, 812.0, 3}; };
    platform.apply(config);
    const Device device = Device::current();
    EXPECT_EQ(device.model, UIDevice::modelIdentifier());
    char host[256] = {};
    ASSERT_EQ(gethostname(host, sizeof host - 1), 0);
    EXPECT_EQ(device.name, host);
    EXPECT_EQ(device.product, "Linux");
    EXPECT_EQ(device.deviceID, "00000000-0000-4000-8000-000000000001");
    EXPECT_EQ(device.osVersion, UIDevice::systemVersion());
    EXPECT_EQ(device.sdkVersion, Device::majorVersion(device.osVersion));
    EXPECT_GT(device.sdkVersion, 0);
    EXPECT_EQ(device.screenWidth, 414);
    EXPECT_EQ(device.screenHeight, 812);
    EXPECT_EQ(device.screenDensity, "3.0");
    EXPECT_EQ(device.locale, icu::Locale::getDefault().getName());
    EXPECT_FALSE(device.timeZone.empty());
    EXPECT_EQ(device.root, geteuid() == 0 ? 1 : 0);
    EXPECT_EQ(device.simulator, 0);

    // Without a vendor identifier or screen: the empty values.
    config.vendorIdentifier.reset();
    config.machineIdPath = platform.dir().file("missing");
    config.screenProvider = [] () -> SVScreen { throw std::runtime_error("no screen"); };
    platform.apply(config);
    const Device bare = Device::current();
    EXPECT_EQ(bare.deviceID, "");
    EXPECT_EQ(bare.screenDensity, "0.0");
    EXPECT_EQ(bare.screenWidth, 0);

    config.screenProvider = [] { return SVScreen{1, 1, std::numeric_limits<double>::quiet_NaN()}; };
    platform.apply(config);
    EXPECT_EQ(Device::current().screenDensity, "0.0");
}

TEST(DeviceRecordTest, VersionAndScreenNumbers) {
    struct Version {
        const char* text;
        std::int64_t major;
    } versions[] = {{"13.4.1", 13}, {"12", 12}, {"", 0}, {"beta.1", 0}, {".5", 5}, {"..7.", 7},
                    {"6.1.0-18-amd64", 6}, {"5-rc1.2", 0}, {"99999999999999999999.1", 0}};
    for (const auto& v : versions) EXPECT_EQ(Device::majorVersion(v.text), v.major) << v.text;
    struct Length {
        double points;
        std::int64_t value;
    } lengths[] = {{375.0, 375}, {414.9, 414}, {-3.7, -3}, {std::nan(""), 0}, {1.0 / 0.0, 0}, {1e300, 0}};
    for (const auto& l : lengths) EXPECT_EQ(Device::screenLength(l.points), l.value) << l.points;
}

TEST(SystemRecordsTest, FixedSizeFieldsAreReadWithinTheirSize) {
    char full[65];
    std::memset(full, 'a', sizeof full);  // no terminating zero
    EXPECT_EQ(fieldText(full, sizeof full), std::string(65, 'a'));
    const char cut[7] = {'a', 'b', 'c', '\0', 'd', 'e', 'f'};
    EXPECT_EQ(fieldText(cut, sizeof cut), "abc");
}

TEST(SystemRecordsTest, InterfaceAddressIsTheLastAddressOfTheInterface) {
    sockaddr_in v4{};
    v4.sin_family = AF_INET;
    inet_pton(AF_INET, "192.168.1.20", &v4.sin_addr);
    sockaddr_in other{};
    other.sin_family = AF_INET;
    inet_pton(AF_INET, "10.0.0.1", &other.sin_addr);
    sockaddr_in6 v6{};
    v6.sin6_family = AF_INET6;
    inet_pton(AF_INET6, "2001:db8::5", &v6.sin6_addr);
    sockaddr packet{};
    packet.sa_family = AF_PACKET;
    char wlan[] = "wlan0", eth[] = "eth0";

    // Built back to front: each entry points at the one after it.
    auto entry = [](ifaddrs* next, char* name, void* address) {
        ifaddrs e{};
        e.ifa_next = next;
        e.ifa_name = name;
        e.ifa_addr = static_cast<sockaddr*>(address);
        return e;
    };
    ifaddrs last = entry(nullptr, eth, &other);
    ifaddrs ipv6 = entry(&last, wlan, &v6);
    ifaddrs ipv4 = entry(&ipv6, wlan, &v4);
    ifaddrs link = entry(&ipv4, wlan, &packet);
    ifaddrs nameless = entry(&link, nullptr, &v4);
    ifaddrs addressless = entry(&nameless, wlan, nullptr);

    EXPECT_EQ(interfaceAddress(&addressless, "wlan0"), "2001:db8::5");
    EXPECT_EQ(interfaceAddress(&ipv4, "eth0"), "10.0.0.1");
    ipv4.ifa_next = &last;  // without the IPv6 entry
    EXPECT_EQ(interfaceAddress(&addressless, "wlan0"), "192.168.1.20");
    EXPECT_EQ(interfaceAddress(&addressless, "wlan1"), std::nullopt);
    EXPECT_EQ(interfaceAddress(&addressless, "wlan"), std::nullopt);
    EXPECT_EQ(interfaceAddress(nullptr, "wlan0"), std::nullopt);
}

TEST(AppRecordTest, VersionCodeAndNameAreTakenTogether) {
    struct Case {
        SVAppInfo app;
        AppInfo expected;
    } cases[] = {
        {{"Wallet", "2.3", "45"}, {"2.3", 45, "com.example", "Wallet"}},
        {{"Wallet", "2.3", "+45"}, {"2.3", 45, "com.example", "Wallet"}},
        {{"Wallet", "2.3", "45.1"}, {"", 0, "com.example", ""}},
        {{"Wallet", "2.3", ""}, {"", 0, "com.example", ""}},
        {{"", "2.3", "45"}, {"", 0, "com.example", ""}},
        {{"Wallet", "", "45"}, {"", 0, "com.example", ""}},
        {{"Wal\xFFlet", "2.3", "45"}, {"2.3", 45, "com.example", "Wal\xEF\xBF\xBDlet"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.app.buildNumber + "/" + c.app.name + "/" + c.app.version);
        EXPECT_EQ(AppInfo::from(c.app, "com.example"), c.expected);
    }
    EXPECT_EQ(AppInfo::from({"Wallet", "2.3", "45"}, "").packageName, "");

    ScopedPlatform platform;
    EXPECT_EQ(AppInfo::current(), (AppInfo{"1.0", 1, "org.svsdk.tests", "SVSDK Tests"}));
}

TEST(SimRecordTest, CarriersAreJoinedFieldByField) {
    struct Case {
        const char* name;
        std::vector<SVCarrier> carriers;
        SimInfo expected;
    } cases[] = {
        {"two carriers", {{"A", "310", "us"}, {"B", "234", "gb"}}, {"A | B", "310 | 234", "us | gb", 2}},
        {"only the second has codes", {{"A", "", ""}, {"B", "234", "gb"}}, {"A | B", "234", "gb", 2}},
        {"one carrier without values", {{"", "", ""}}, {"", "", "", 1}},
        {"no carrier", {}, {"", "", "", 0}},
        {"a name that is not UTF-8", {{"Op\xC3", "1", "x"}}, {"Op\xEF\xBF\xBD", "1", "x", 1}},
    };
    for (const auto& c : cases) EXPECT_EQ(SimInfo::from(c.carriers), c.expected) << c.name;

    ScopedPlatform platform;
    EXPECT_EQ(SimInfo::current(), SimInfo{});  // no provider
    auto config = platform.configuration();
    config.carrierProvider = [] { return std::vector<SVCarrier>{{"A", "310", "us"}}; };
    platform.apply(config);
    EXPECT_EQ(SimInfo::current(), (SimInfo{"A", "310", "us", 1}));
}

TEST(WifiRecordTest, NetworkFromTheProviderOrTheInterface) {
    ScopedPlatform platform;
    auto config = platform.configuration();
    config.wifiInterfaceName = "no-such-interface";
    platform.apply(config);
    EXPECT_EQ(WifiInfo::current().localIp, "");
    EXPECT_EQ(WifiInfo::current().SSID, "");

    config.wifiInterfaceName = "lo";
    platform.apply(config);
    const std::string loopback = WifiInfo::current().localIp;
    EXPECT_TRUE(loopback == "127.0.0.1" || loopback == "::1") << loopback;

    config.wifiProvider = [] { return SVWifiNetwork{"Caf\xE9 Net", "192.168.1.20"}; };
    platform.apply(config);
    const WifiInfo named = WifiInfo::current();
    EXPECT_EQ(named.SSID, "Caf\xEF\xBF\xBD Net");
    EXPECT_EQ(named.localIp, "192.168.1.20");
}

TEST(WifiRecordTest, UserAgentIsKeptFromTheLastFetch) {
    ScopedPlatform platform;
    auto config = platform.configuration();
    struct Case {
        const char* name;
        std::function<std::string()> provider;
        std::string kept;
    } cases[] = {
        {"a provider", [] { return std::string("Agent/1.0 \xFF"); }, "Agent/1.0 \xEF\xBF\xBD"},
        {"a provider that fails", []() -> std::string { throw std::runtime_error("no agent"); }, ""},
        {"a provider again", [] { return std::string("Agent/2.0"); }, "Agent/2.0"},
        {"no provider", nullptr, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        config.userAgentProvider = c.provider;
        platform.apply(config);
        WifiInfo::loadUserAgent();
        EXPECT_EQ(WifiInfo::cachedUserAgent(), c.kept);
        EXPECT_EQ(WifiInfo::current().userAgent, c.kept);
    }
}

TEST(DeviceInfoRecordTest, MemoryIsThePhysicalMemoryInBytes) {
    EXPECT_EQ(MemoryInfo::current().totalRAM, std::to_string(UIDevice::physicalMemory()));
    EXPECT_GT(UIDevice::physicalMemory(), 0u);
}

}  // namespace
