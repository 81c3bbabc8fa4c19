#include "net/TcpListener.h"

#include <string>

#include "net/SocketException.h"

namespace net {

void TcpListener::bind(std::uint32_t address, std::uint16_t port) {
    if (platform::bindSocket(handle(), address, port) != 0) {
        throw SocketException("Failed to bind to port (" + std::to_string(port) +
                              "). Is the service already running?");
    }
}

int TcpListener::listen(int backlog) {
    return platform::listenSocket(handle(), backlog);
}

std::unique_ptr<TcpSocket> TcpListener::accept(std::int32_t timeoutSeconds) {
    platform::SocketHandle accepted = platform::acceptSocket(handle());
    if (handle() == platform::kInvalidSocket || isClosed()) {
        if (accepted != platform::kInvalidSocket)
            platform::closeSocket(accepted);
        throw SocketException::withLastError("failed to accept new connection");
    }
    auto socket = std::make_unique<TcpSocket>(accepted, timeoutSeconds);
    if (accepted == platform::kInvalidSocket) {
        throw SocketException::withLastError("new socket file descriptor invalid");
    }
    // Best effort: without it only small units wait a little longer.
    platform::setNoDelay(accepted);
    return socket;
}

}  // namespace net
