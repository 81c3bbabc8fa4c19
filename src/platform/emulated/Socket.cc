// Sockets on the emulated host: POSIX sockets, with errno translated once into the Winsock
// error numbers that the agent's messages carry.
#include "platform/Socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include "platform/SocketParts.h"

namespace platform {
namespace {

thread_local int lastError = 0;

int wsaErrorFor(int error) {
    switch (error) {
        case EINTR:
            return kWsaInterrupted;
        case EBADF:
            return kWsaBadHandle;
        case EACCES:
        case EPERM:
            return kWsaAccessDenied;
        case EINVAL:
            return kWsaInvalidArgument;
        case EMFILE:
        case ENFILE:
            return kWsaTooManySockets;
        case EAGAIN:
            return kWsaWouldBlock;
        case ENOTSOCK:
            return kWsaNotSocket;
        case EADDRINUSE:
            return kWsaAddressInUse;
        case EADDRNOTAVAIL:
            return kWsaAddressNotAvailable;
        case ECONNABORTED:
            return kWsaConnectionAborted;
        case ECONNRESET:
        case EPIPE:
            return kWsaConnectionReset;
        case ENOTCONN:
            return kWsaNotConnected;
        case ESHUTDOWN:
            return kWsaShutdown;
        case ETIMEDOUT:
            return kWsaTimedOut;
        case ECONNREFUSED:
            return kWsaConnectionRefused;
        case ENETUNREACH:
            return kWsaNetworkUnreachable;
        case EHOSTUNREACH:
            return kWsaHostUnreachable;
        default:
            return kWsaInvalidArgument;
    }
}

int fail() {
    lastError = wsaErrorFor(errno);
    return kSocketError;
}

int fd(SocketHandle socket) {
    return static_cast<int>(socket);
}

}  // namespace

int startSockets(std::uint16_t) {
    return 0;
}

SocketHandle createStreamSocket() {
    int handle = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (handle < 0) {
        fail();
        return kInvalidSocket;
    }
    return static_cast<SocketHandle>(handle);
}

int bindSocket(SocketHandle socket, std::uint32_t address, std::uint16_t port) {
    // Windows lets a listener take a port whose old connections linger in TIME_WAIT;
    // Linux needs SO_REUSEADDR for that (it still refuses a port another listener holds).
    int on = 1;
    ::setsockopt(fd(socket), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in where = socket_parts::ipv4Address(address, port);
    if (::bind(fd(socket), reinterpret_cast<sockaddr*>(&where), sizeof where) != 0)
        return fail();
    return 0;
}

int setNoDelay(SocketHandle socket) {
    int on = 1;
    if (::setsockopt(fd(socket), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) != 0)
        return fail();
    return 0;
}

int listenSocket(SocketHandle socket, int backlog) {
    if (::listen(fd(socket), backlog) != 0)
        return fail();
    return 0;
}

SocketHandle acceptSocket(SocketHandle socket) {
    for (;;) {
        int handle = ::accept4(fd(socket), nullptr, nullptr, SOCK_CLOEXEC);
        if (handle >= 0)
            return static_cast<SocketHandle>(handle);
        if (errno != EINTR) {
            fail();
            return kInvalidSocket;
        }
    }
}

int connectSocket(SocketHandle socket, std::uint32_t address, std::uint16_t port) {
    sockaddr_in where = socket_parts::ipv4Address(address, port);
    if (::connect(fd(socket), reinterpret_cast<sockaddr*>(&where), sizeof where) != 0)
        return fail();
    return 0;
}

namespace {

int pollFor(SocketHandle socket, short events, std::int32_t seconds, std::int32_t microseconds) {
    using Clock = std::chrono::steady_clock;
    auto deadline =
        Clock::now() + std::chrono::seconds(seconds) + std::chrono::microseconds(microseconds);
    for (;;) {
        auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        pollfd entry{fd(socket), events, 0};
        int result = ::poll(&entry, 1, static_cast<int>(left < 0 ? 0 : left));
        if (result >= 0)
            return result;
        // A signal (the console stop handler) interrupts the wait; it is not a time-out.
        if (errno != EINTR)
            return fail();
    }
}

}  // namespace

int selectReadable(SocketHandle socket, std::int32_t seconds, std::int32_t microseconds) {
    return pollFor(socket, POLLIN, seconds, microseconds);
}

int selectWritable(SocketHandle socket, std::int32_t seconds, std::int32_t microseconds) {
    return pollFor(socket, POLLOUT, seconds, microseconds);
}

int sendSocketNoWait(SocketHandle socket, const void* data, int length) {
    for (;;) {
        ssize_t sent =
            ::send(fd(socket), data, static_cast<std::size_t>(length), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent >= 0)
            return static_cast<int>(sent);
        if (errno != EINTR)
            return fail();
    }
}

int sendSocket(SocketHandle socket, const void* data, int length) {
    for (;;) {
        ssize_t sent = ::send(fd(socket), data, static_cast<std::size_t>(length), MSG_NOSIGNAL);
        if (sent >= 0)
            return static_cast<int>(sent);
        if (errno != EINTR)
            return fail();
    }
}

int recvSocketNoWait(SocketHandle socket, void* buffer, int length) {
    for (;;) {
        ssize_t got = ::recv(fd(socket), buffer, static_cast<std::size_t>(length), MSG_DONTWAIT);
        if (got >= 0)
            return static_cast<int>(got);
        if (errno != EINTR)
            return fail();
    }
}

int shutdownSend(SocketHandle socket) {
    if (::shutdown(fd(socket), SHUT_WR) != 0)
        return fail();
    return 0;
}

int closeSocket(SocketHandle socket) {
    if (::close(fd(socket)) != 0)
        return fail();
    return 0;
}

bool peerNumericAddress(SocketHandle socket, std::string& address) {
    sockaddr_storage peer{};
    socklen_t length = sizeof peer;
    if (::getpeername(fd(socket), reinterpret_cast<sockaddr*>(&peer), &length) != 0) {
        fail();
        return false;
    }
    char host[1025];
    if (::getnameinfo(reinterpret_cast<sockaddr*>(&peer), length, host, sizeof host, nullptr, 0,
                      NI_NUMERICHOST) != 0) {
        lastError = kWsaInvalidArgument;
        return false;
    }
    address = host;
    return true;
}

std::uint16_t localPort(SocketHandle socket) {
    sockaddr_in local{};
    socklen_t length = sizeof local;
    if (::getsockname(fd(socket), reinterpret_cast<sockaddr*>(&local), &length) != 0) {
        fail();
        return 0;
    }
    return ntohs(local.sin_port);
}

std::uint32_t inetAddr(const std::string& text) {
    return ::inet_addr(text.c_str());
}

bool resolveIpv4(const std::string& host, std::uint32_t& address) {
    return socket_parts::resolveIpv4(host, address);
}

int lastSocketError() {
    return lastError;
}

std::uint16_t statusPort(std::uint16_t standardPort) {
    const char* text = std::getenv("ZENTRAD_STATUS_PORT");
    if (text == nullptr || *text == '\0')
        return standardPort;
    char* end = nullptr;
    long value = std::strtol(text, &end, 10);
    if (*end != '\0' || value <= 0 || value > 0xFFFF)
        return standardPort;
    return static_cast<std::uint16_t>(value);
}

}  // namespace platform
