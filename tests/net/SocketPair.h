// Two connected sockets over loopback, for tests that need a real peer.
#pragma once

#include <memory>

#include "net/TcpListener.h"
#include "net/TcpSocket.h"
#include "platform/Socket.h"

namespace test {

struct SocketPair {
    std::unique_ptr<Net::TcpSocket> near;
    std::unique_ptr<Net::TcpSocket> far;

    SocketPair() {
        Net::TcpListener listener;
        listener.bind(platform::kLoopbackAddress, 0);
        listener.listen();
        far = Net::TcpSocket::connectTo("127.0.0.1", listener.localPort());
        near = listener.accept();
    }
};

}  // namespace test
