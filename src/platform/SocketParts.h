// The parts of the socket calls that read the same on both sides of the seam, because POSIX
// sockets and Winsock 2 share these names and structures. Not part of the seam: only the two
// Socket.cc files include it, after their own socket headers (<arpa/inet.h> and <netdb.h>,
// or <winsock2.h> and <ws2tcpip.h>), which declare everything it uses.
#pragma once

#include <cstdint>
#include <string>

namespace platform::socket_parts {

// An IPv4 address (network byte order) and port (host byte order) for bind and connect.
inline sockaddr_in ipv4Address(std::uint32_t address, std::uint16_t port) {
    sockaddr_in where{};
    where.sin_family = AF_INET;
    where.sin_port = htons(port);
    where.sin_addr.s_addr = address;
    return where;
}

// getaddrinfo for AF_INET stream sockets: the first address, in network byte order.
inline bool resolveIpv4(const std::string& host, std::uint32_t& address) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || found == nullptr)
        return false;
    address = reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr.s_addr;
    ::freeaddrinfo(found);
    return true;
}

}  // namespace platform::socket_parts
