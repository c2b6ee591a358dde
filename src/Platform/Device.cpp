#include "Platform/Device.h"

#include <ifaddrs.h>
#include <limits.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/sysinfo.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cstring>
#include <limits>
#include <memory>

#include "Platform/PlatformConfiguration.h"

namespace svsdk {
namespace {

struct utsname systemRecord() {
    struct utsname info;
    std::memset(&info, 0, sizeof info);
    (void)::uname(&info);  // after a failure the record stays zero
    return info;
}

}  // namespace

std::string fieldText(const char* field, std::size_t size) { return std::string(field, ::strnlen(field, size)); }

std::string UIDevice::modelIdentifier() {
    const struct utsname info = systemRecord();
    std::string text;
    // Every byte of the field counts, not only those before the first zero.
    for (char c : info.machine)
        if (c != '\0') text += c;
    return text;
}

std::optional<std::string> UIDevice::vendorIdentifier() { return platform::vendorIdentifier(); }

std::string UIDevice::name() {
    char buffer[HOST_NAME_MAX + 1] = {};
    if (::gethostname(buffer, sizeof buffer) != 0) return std::string();
    // A name cut to the buffer may come without its terminating zero.
    return fieldText(buffer, sizeof buffer);
}

std::string UIDevice::systemName() {
    const struct utsname info = systemRecord();
    return fieldText(info.sysname, sizeof info.sysname);
}

std::string UIDevice::systemVersion() {
    const struct utsname info = systemRecord();
    return fieldText(info.release, sizeof info.release);
}

std::uint64_t UIDevice::physicalMemory() {
    struct sysinfo info {};
    if (::sysinfo(&info) != 0) return 0;
    const std::uint64_t unit = info.mem_unit == 0 ? 1 : info.mem_unit;
    const std::uint64_t total = info.totalram;
    if (total > std::numeric_limits<std::uint64_t>::max() / unit) return std::numeric_limits<std::uint64_t>::max();
    return total * unit;
}

bool UIDevice::isRunningAsRoot() { return ::geteuid() == 0; }

std::optional<std::string> interfaceAddress(const ifaddrs* list, std::string_view interfaceName) {
    std::optional<std::string> text;
    for (const ifaddrs* entry = list; entry; entry = entry->ifa_next) {
        if (!entry->ifa_addr || !entry->ifa_name || interfaceName != entry->ifa_name) continue;
        socklen_t length = 0;
        if (entry->ifa_addr->sa_family == AF_INET)
            length = sizeof(sockaddr_in);
        else if (entry->ifa_addr->sa_family == AF_INET6)
            length = sizeof(sockaddr_in6);
        else
            continue;
        char host[NI_MAXHOST] = {};
        // A failure leaves the empty text.
        (void)::getnameinfo(entry->ifa_addr, length, host, sizeof host, nullptr, 0, NI_NUMERICHOST);
        text = fieldText(host, sizeof host);
    }
    return text;
}

std::optional<std::string> UIDevice::interfaceAddress(std::string_view interfaceName) {
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0 || !list) return std::nullopt;
    std::unique_ptr<ifaddrs, decltype(&::freeifaddrs)> owner(list, &::freeifaddrs);
    return svsdk::interfaceAddress(list, interfaceName);
}

}  // namespace svsdk
