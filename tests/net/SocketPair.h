// Two connected sockets over loopback, for tests that need a real peer, and what tests of
// failing receives share.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "net/SocketException.h"
#include "net/TcpListener.h"
#include "net/TcpSocket.h"
#include "platform/Socket.h"

namespace test {

struct SocketPair {
    std::unique_ptr<net::TcpSocket> near;
    std::unique_ptr<net::TcpSocket> far;

    SocketPair() {
        net::TcpListener listener;
        listener.bind(platform::kLoopbackAddress, 0);
        listener.listen();
        far = net::TcpSocket::connectTo("127.0.0.1", listener.localPort());
        near = listener.accept();
    }
};

// The message of the error a receive of `length` bytes ends with.
inline std::string receiveError(net::TcpSocket& socket, std::int64_t length) {
    std::string buffer(static_cast<std::size_t>(length), '\0');
    try {
        socket.receiveAll(buffer.data(), length);
    } catch (const net::SocketException& error) {
        return error.what();
    }
    return "(nothing thrown)";
}

// Sets the time-out that sockets made during a test start with, and puts back the one
// before: other suites in the same executable may rely on it.
class ScopedSocketTimeout {
  public:
    explicit ScopedSocketTimeout(std::int32_t seconds)
        : previous_(net::TcpSocket::defaultTimeout()) {
        net::TcpSocket::setDefaultTimeout(seconds);
    }
    ~ScopedSocketTimeout() { net::TcpSocket::setDefaultTimeout(previous_); }
    ScopedSocketTimeout(const ScopedSocketTimeout&) = delete;
    ScopedSocketTimeout& operator=(const ScopedSocketTimeout&) = delete;

  private:
    const std::int32_t previous_;
};

}  // namespace test
