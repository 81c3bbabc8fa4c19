// Two connected sockets over loopback, for tests that need a real peer.
#pragma once

#include <memory>

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

}  // namespace test
