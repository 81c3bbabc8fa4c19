// A listening stream socket. Used only by the thread that runs its accept loop, which
// also closes it.
#pragma once

#include <cstdint>
#include <memory>

#include "net/Socket.h"
#include "net/TcpSocket.h"

namespace net {

class TcpListener : public Socket {
  public:
    static constexpr int kBacklog = 10;

    TcpListener() = default;

    // Binds to an IPv4 address (network byte order; 0 for all interfaces) and a port
    // (host byte order; 0 picks a free one). Throws SocketException naming the port, and
    // suggesting that another agent holds it, when the bind fails.
    void bind(std::uint32_t address, std::uint16_t port);

    // Returns the platform's result (0 on success); callers may ignore it.
    int listen(int backlog = kBacklog);

    // Takes the next pending connection; the caller owns the new socket, whose waits last
    // at most timeoutSeconds. Throws SocketException with the error text when accepting
    // fails or yields no valid socket.
    std::unique_ptr<TcpSocket> accept(std::int32_t timeoutSeconds);
};

}  // namespace net
