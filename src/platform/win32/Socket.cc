// Sockets on Windows: a thin pass-through to Winsock 2.
#include "platform/Socket.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include "platform/SocketParts.h"

static_assert(sizeof(platform::SocketHandle) == sizeof(SOCKET),
              "SOCKET must fit the seam's handle");
static_assert(platform::kInvalidSocket == static_cast<platform::SocketHandle>(INVALID_SOCKET),
              "invalid handle values must agree");
static_assert(platform::kSocketError == SOCKET_ERROR, "error results must agree");
static_assert(platform::kWsaConnectionReset == WSAECONNRESET, "Winsock error numbers must agree");

namespace platform {
namespace {

SOCKET raw(SocketHandle socket) {
    return static_cast<SOCKET>(socket);
}

}  // namespace

int startSockets(std::uint16_t version) {
    WSADATA data;
    return ::WSAStartup(version, &data);
}

SocketHandle createStreamSocket() {
    return static_cast<SocketHandle>(::socket(AF_INET, SOCK_STREAM, 0));
}

int bindSocket(SocketHandle socket, std::uint32_t address, std::uint16_t port) {
    sockaddr_in where = socket_parts::ipv4Address(address, port);
    return ::bind(raw(socket), reinterpret_cast<sockaddr*>(&where), sizeof where);
}

int setNoDelay(SocketHandle socket) {
    BOOL on = TRUE;
    return ::setsockopt(raw(socket), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on),
                        sizeof on);
}

int listenSocket(SocketHandle socket, int backlog) {
    return ::listen(raw(socket), backlog);
}

SocketHandle acceptSocket(SocketHandle socket) {
    return static_cast<SocketHandle>(::accept(raw(socket), nullptr, nullptr));
}

int connectSocket(SocketHandle socket, std::uint32_t address, std::uint16_t port) {
    sockaddr_in where = socket_parts::ipv4Address(address, port);
    return ::connect(raw(socket), reinterpret_cast<sockaddr*>(&where), sizeof where);
}

int selectReadable(SocketHandle socket, std::int32_t seconds, std::int32_t microseconds) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(raw(socket), &readable);
    timeval wait{seconds, microseconds};
    return ::select(0, &readable, nullptr, nullptr, &wait);
}

int selectWritable(SocketHandle socket, std::int32_t seconds, std::int32_t microseconds) {
    fd_set writable;
    FD_ZERO(&writable);
    FD_SET(raw(socket), &writable);
    timeval wait{seconds, microseconds};
    return ::select(0, nullptr, &writable, nullptr, &wait);
}

int sendSocketNoWait(SocketHandle socket, const void* data, int length) {
    u_long on = 1;
    if (::ioctlsocket(raw(socket), FIONBIO, &on) != 0)
        return SOCKET_ERROR;
    int sent = ::send(raw(socket), static_cast<const char*>(data), length, 0);
    int error = ::WSAGetLastError();
    u_long off = 0;
    ::ioctlsocket(raw(socket), FIONBIO, &off);
    ::WSASetLastError(error);
    return sent;
}

int sendSocket(SocketHandle socket, const void* data, int length) {
    return ::send(raw(socket), static_cast<const char*>(data), length, 0);
}

// Not by switching to non-blocking mode as sendSocketNoWait does: a send on another thread
// may switch the mode back at any moment. A socket select calls readable has data or an
// end of stream, so the recv that follows returns at once.
int recvSocketNoWait(SocketHandle socket, void* buffer, int length) {
    int ready = selectReadable(socket, 0, 0);
    if (ready < 0)
        return SOCKET_ERROR;
    if (ready == 0) {
        ::WSASetLastError(WSAEWOULDBLOCK);
        return SOCKET_ERROR;
    }
    return ::recv(raw(socket), static_cast<char*>(buffer), length, 0);
}

int shutdownSend(SocketHandle socket) {
    return ::shutdown(raw(socket), SD_SEND);
}

int closeSocket(SocketHandle socket) {
    return ::closesocket(raw(socket));
}

bool peerNumericAddress(SocketHandle socket, std::string& address) {
    char peer[128];
    int length = sizeof peer;
    if (::getpeername(raw(socket), reinterpret_cast<sockaddr*>(peer), &length) != 0)
        return false;
    auto* family = reinterpret_cast<sockaddr*>(peer);
    int nameLength = family->sa_family == AF_INET6 ? 28 : length;
    char host[1025];
    if (::getnameinfo(family, nameLength, host, sizeof host, nullptr, 0, NI_NUMERICHOST) != 0)
        return false;
    address = host;
    return true;
}

std::uint16_t localPort(SocketHandle socket) {
    sockaddr_in local{};
    int length = sizeof local;
    if (::getsockname(raw(socket), reinterpret_cast<sockaddr*>(&local), &length) != 0)
        return 0;
    return ntohs(local.sin_port);
}

std::uint32_t inetAddr(const std::string& text) {
    return ::inet_addr(text.c_str());
}

bool resolveIpv4(const std::string& host, std::uint32_t& address) {
    return socket_parts::resolveIpv4(host, address);
}

int lastSocketError() {
    return ::WSAGetLastError();
}

std::uint16_t statusPort(std::uint16_t standardPort) {
    return standardPort;
}

}  // namespace platform
