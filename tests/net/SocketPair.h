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

    // Both ends wait at most timeoutSeconds for progress; tests of time-outs pass a short one.
    explicit SocketPair(std::int32_t timeoutSeconds = 160) {
        net::TcpListener listener;
        listener.bind(platform::kLoopbackAddress, 0);
        listener.listen();
        far = net::TcpSocket::connectTo("127.0.0.1", listener.localPort(), timeoutSeconds);
        near = listener.accept(timeoutSeconds);
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

}  // namespace test
