#pragma once
// Queries about the device the SDK runs on.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

struct ifaddrs;

namespace svsdk {

class UIDevice {
public:
    UIDevice() = delete;

    // The machine identifier from uname ("x86_64", "aarch64", ...); "" when
    // the system gives nothing.
    static std::string modelIdentifier();
    // The application vendor's identifier on this device as an upper-case
    // UUID text; absent when there is none.
    static std::optional<std::string> vendorIdentifier();

    // The device's name: its host name; "" when the system gives none.
    static std::string name();
    // The operating system's name ("Linux") and version (the kernel release,
    // "6.1.0-18-amd64"); "" when the system gives nothing.
    static std::string systemName();
    static std::string systemVersion();
    // The physical memory in bytes; 0 when unknown.
    static std::uint64_t physicalMemory();
    // Whether the process runs with the rights of the system's superuser.
    static bool isRunningAsRoot();
    // The numeric address of the network interface `interfaceName`: of its
    // last IPv4 or IPv6 address in the system's list; absent when it has none.
    static std::optional<std::string> interfaceAddress(std::string_view interfaceName);
};

// The text of a fixed-size character field of a system record: the bytes
// before the first zero, never more than `size` (the field need not end in a
// zero).
std::string fieldText(const char* field, std::size_t size);

// The numeric address of the last IPv4 or IPv6 entry of `interfaceName` in an
// interface list; entries without a name or an address are skipped.
std::optional<std::string> interfaceAddress(const ifaddrs* list, std::string_view interfaceName);

}  // namespace svsdk
