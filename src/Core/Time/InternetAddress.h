#pragma once
// One resolved IPv4 or IPv6 socket address. Addresses compare and hash by
// their text form: ports, flow information and scope are not compared.
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace svsdk {

class InternetAddress {
public:
    static InternetAddress ipv6(const sockaddr_in6& address) { return InternetAddress(address); }
    static InternetAddress ipv4(const sockaddr_in& address) { return InternetAddress(address); }
    // The address of a socket-address record of `length` bytes; none for
    // another family or a record shorter than its family's.
    static std::optional<InternetAddress> fromSocketAddress(const sockaddr* address, std::size_t length);

    bool isIPv6() const { return std::holds_alternative<sockaddr_in6>(address_); }
    int family() const { return isIPv6() ? AF_INET6 : AF_INET; }
    // The socket-address bytes (16 or 28) with the port set; none for a port
    // outside 0-65535.
    std::optional<std::vector<std::uint8_t>> addressData(int port) const;
    // The numeric text form ("127.0.0.1", "::1").
    std::optional<std::string> host() const;

    friend bool operator==(const InternetAddress& a, const InternetAddress& b) { return a.host() == b.host(); }

private:
    explicit InternetAddress(const sockaddr_in6& address) : address_(address) {}
    explicit InternetAddress(const sockaddr_in& address) : address_(address) {}

    std::variant<sockaddr_in6, sockaddr_in> address_;
};

}  // namespace svsdk

template <>
struct std::hash<svsdk::InternetAddress> {
    std::size_t operator()(const svsdk::InternetAddress& address) const {
        auto host = address.host();
        return host ? std::hash<std::string>()(*host) * 31 + 1 : 0;
    }
};
