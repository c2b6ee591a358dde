#include "Core/Time/InternetAddress.h"

#include <arpa/inet.h>

#include <cstring>

namespace svsdk {

std::optional<InternetAddress> InternetAddress::fromSocketAddress(const sockaddr* address, std::size_t length) {
    if (!address || length < sizeof(sa_family_t)) return std::nullopt;
    sa_family_t family;
    std::memcpy(&family, reinterpret_cast<const char*>(address) + offsetof(sockaddr, sa_family), sizeof family);
    if (family == AF_INET6 && length >= sizeof(sockaddr_in6)) {
        sockaddr_in6 record;
        std::memcpy(&record, address, sizeof record);
        return InternetAddress(record);
    }
    if (family == AF_INET && length >= sizeof(sockaddr_in)) {
        sockaddr_in record;
        std::memcpy(&record, address, sizeof record);
        return InternetAddress(record);
    }
    return std::nullopt;
}

std::optional<std::vector<std::uint8_t>> InternetAddress::addressData(int port) const {
    if (port < 0 || port > 65535) return std::nullopt;
    auto networkPort = htons(static_cast<std::uint16_t>(port));
    return std::visit(
        [&](auto record) {
            if constexpr (std::is_same_v<decltype(record), sockaddr_in6>)
                record.sin6_port = networkPort;
            else
                record.sin_port = networkPort;
            auto bytes = reinterpret_cast<const std::uint8_t*>(&record);
            return std::vector<std::uint8_t>(bytes, bytes + sizeof record);
        },
        address_);
}

std::optional<std::string> InternetAddress::host() const {
    char text[INET6_ADDRSTRLEN] = {};
    const char* result = isIPv6() ? ::inet_ntop(AF_INET6, &std::get<sockaddr_in6>(address_).sin6_addr, text, sizeof text)
                                  : ::inet_ntop(AF_INET, &std::get<sockaddr_in>(address_).sin_addr, text, sizeof text);
    if (!result) return std::nullopt;
    return std::string(text);
}

}  // namespace svsdk
