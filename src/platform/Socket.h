// Blocking IPv4 stream sockets through the seam, shaped like Winsock 2. Every call that
// fails returns kSocketError (or kInvalidSocket) and leaves the Winsock error number for
// lastSocketError(); the emulated host maps its errno values onto those numbers where the
// failure arises, so error texts read the same on both hosts.
//
// Where the hosts differ: the emulated host never raises SIGPIPE on a send to a closed
// peer (the send fails with 10054 or 10058 instead, as on Windows).
#pragma once

#include <cstdint>
#include <string>

namespace platform {

// Winsock's SOCKET: an opaque handle; all ones means invalid.
using SocketHandle = std::uintptr_t;
constexpr SocketHandle kInvalidSocket = ~SocketHandle{0};
constexpr int kSocketError = -1;

// Winsock error numbers the agent names.
constexpr int kWsaInterrupted = 10004;
constexpr int kWsaBadHandle = 10009;
constexpr int kWsaAccessDenied = 10013;
constexpr int kWsaInvalidArgument = 10022;
constexpr int kWsaTooManySockets = 10024;
constexpr int kWsaWouldBlock = 10035;
constexpr int kWsaNotSocket = 10038;
constexpr int kWsaAddressInUse = 10048;
constexpr int kWsaAddressNotAvailable = 10049;
constexpr int kWsaConnectionAborted = 10053;
constexpr int kWsaConnectionReset = 10054;
constexpr int kWsaNotConnected = 10057;
constexpr int kWsaShutdown = 10058;
constexpr int kWsaTimedOut = 10060;
constexpr int kWsaConnectionRefused = 10061;
constexpr int kWsaNetworkUnreachable = 10051;
constexpr int kWsaHostUnreachable = 10065;

// inet_addr("127.0.0.1"), network byte order.
constexpr std::uint32_t kLoopbackAddress = 0x0100007F;

// WSAStartup with the given version word; 0 on success, else the Winsock error number.
int startSockets(std::uint16_t version);

// socket(AF_INET, SOCK_STREAM, 0).
SocketHandle createStreamSocket();

// bind to an IPv4 address (network byte order) and a port (host byte order).
int bindSocket(SocketHandle socket, std::uint32_t address, std::uint16_t port);
int listenSocket(SocketHandle socket, int backlog);
// accept without an address buffer.
SocketHandle acceptSocket(SocketHandle socket);
// connect to an IPv4 address (network byte order) and port (host byte order).
int connectSocket(SocketHandle socket, std::uint32_t address, std::uint16_t port);

// setsockopt(IPPROTO_TCP, TCP_NODELAY, 1): small units go out at once instead of waiting
// for the acknowledgement of what was sent before (which a delayed acknowledgement holds
// back). 0 on success.
int setNoDelay(SocketHandle socket);

// select for reading on one socket: > 0 readable, 0 on time-out, kSocketError on failure.
int selectReadable(SocketHandle socket, std::int32_t seconds, std::int32_t microseconds);
// select for writing on one socket: > 0 when a send can take some bytes, 0 on time-out,
// kSocketError on failure.
int selectWritable(SocketHandle socket, std::int32_t seconds, std::int32_t microseconds);

// send with flags 0: the byte count, or kSocketError.
int sendSocket(SocketHandle socket, const void* data, int length);
// recv that never waits for data (a receive that may wait asks selectReadable first): the
// byte count (0 when the peer has closed its side), or kSocketError with kWsaWouldBlock
// when nothing has arrived yet. Windows has no per-call flag for this; there it asks select
// with no wait first, so a peer's close still reads as 0.
int recvSocketNoWait(SocketHandle socket, void* buffer, int length);
// send that never waits for room: the bytes the stack took (possibly fewer than length), or
// kSocketError with kWsaWouldBlock when it took none. Windows has no per-call flag for this,
// so there the socket is switched to non-blocking mode for the call and back.
int sendSocketNoWait(SocketHandle socket, const void* data, int length);

// shutdown of the sending direction (SD_SEND).
int shutdownSend(SocketHandle socket);
int closeSocket(SocketHandle socket);

// getpeername followed by getnameinfo with NI_NUMERICHOST: the peer's numeric address, or
// false when either call fails.
bool peerNumericAddress(SocketHandle socket, std::string& address);
// getsockname: the local port in host byte order, or 0 on failure.
std::uint16_t localPort(SocketHandle socket);

// inet_addr: a dotted-decimal IPv4 address in network byte order, or 0xFFFFFFFF.
std::uint32_t inetAddr(const std::string& text);
// getaddrinfo for AF_INET: the first address of a host name or numeric address, in
// network byte order; false when it cannot be resolved.
bool resolveIpv4(const std::string& host, std::uint32_t& address);

// WSAGetLastError for the calling thread.
int lastSocketError();

// The port of the local status listener: the standard port on Windows; the emulated host
// honours ZENTRAD_STATUS_PORT so that tests can run several agents side by side.
std::uint16_t statusPort(std::uint16_t standardPort);

}  // namespace platform
