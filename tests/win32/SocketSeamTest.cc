// Winsock through the Windows side of the seam: a listener and a client on loopback.
#include <gtest/gtest.h>

#include <string>

#include "platform/Socket.h"

namespace {

using namespace platform;

// Closes a socket when the test ends, whatever the assertions did.
struct OwnedSocket {
    SocketHandle handle = kInvalidSocket;
    explicit OwnedSocket(SocketHandle socket) : handle(socket) {}
    ~OwnedSocket() {
        if (handle != kInvalidSocket)
            closeSocket(handle);
    }
    OwnedSocket(const OwnedSocket&) = delete;
    OwnedSocket& operator=(const OwnedSocket&) = delete;
};

class SocketSeamTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(startSockets(0x0202), 0); }
};

TEST_F(SocketSeamTest, LoopbackConversation) {
    OwnedSocket listener(createStreamSocket());
    ASSERT_NE(listener.handle, kInvalidSocket) << lastSocketError();
    ASSERT_EQ(bindSocket(listener.handle, kLoopbackAddress, 0), 0) << lastSocketError();
    ASSERT_EQ(listenSocket(listener.handle, 5), 0) << lastSocketError();
    const std::uint16_t port = localPort(listener.handle);
    ASSERT_NE(port, 0);

    OwnedSocket client(createStreamSocket());
    ASSERT_EQ(connectSocket(client.handle, kLoopbackAddress, port), 0) << lastSocketError();
    OwnedSocket server(acceptSocket(listener.handle));
    ASSERT_NE(server.handle, kInvalidSocket) << lastSocketError();

    std::string peer;
    ASSERT_TRUE(peerNumericAddress(server.handle, peer));
    EXPECT_EQ(peer, "127.0.0.1");

    // Nothing sent yet: select times out with no readable socket, a receive that must not
    // wait says it would block.
    EXPECT_EQ(selectReadable(server.handle, 0, 1000), 0);
    char buffer[64];
    EXPECT_EQ(recvSocketNoWait(server.handle, buffer, sizeof buffer), kSocketError);
    EXPECT_EQ(lastSocketError(), kWsaWouldBlock);
    const std::string message = "hello over loopback";
    ASSERT_EQ(sendSocket(client.handle, message.data(), static_cast<int>(message.size())),
              static_cast<int>(message.size()));
    EXPECT_EQ(selectReadable(server.handle, 5, 0), 1);
    std::string received;
    while (received.size() < message.size()) {
        ASSERT_EQ(selectReadable(server.handle, 5, 0), 1);
        int got = recvSocketNoWait(server.handle, buffer, sizeof buffer);
        ASSERT_GT(got, 0) << lastSocketError();
        received.append(buffer, static_cast<std::size_t>(got));
    }
    EXPECT_EQ(received, message);

    // An orderly shutdown reads as end of stream on the other side.
    ASSERT_EQ(shutdownSend(client.handle), 0);
    EXPECT_EQ(selectReadable(server.handle, 5, 0), 1);
    EXPECT_EQ(recvSocketNoWait(server.handle, buffer, sizeof buffer), 0);
}

TEST_F(SocketSeamTest, FailuresCarryWinsockNumbers) {
    // A port nobody listens on: take one from a listener, then close it.
    std::uint16_t port = 0;
    {
        OwnedSocket probe(createStreamSocket());
        ASSERT_EQ(bindSocket(probe.handle, kLoopbackAddress, 0), 0);
        port = localPort(probe.handle);
    }
    OwnedSocket client(createStreamSocket());
    EXPECT_EQ(connectSocket(client.handle, kLoopbackAddress, port), kSocketError);
    EXPECT_EQ(lastSocketError(), kWsaConnectionRefused);

    OwnedSocket first(createStreamSocket());
    ASSERT_EQ(bindSocket(first.handle, kLoopbackAddress, 0), 0);
    ASSERT_EQ(listenSocket(first.handle, 1), 0);
    OwnedSocket second(createStreamSocket());
    EXPECT_EQ(bindSocket(second.handle, kLoopbackAddress, localPort(first.handle)), kSocketError);
    EXPECT_EQ(lastSocketError(), kWsaAddressInUse);

    EXPECT_EQ(closeSocket(kInvalidSocket), kSocketError);
    EXPECT_EQ(lastSocketError(), kWsaNotSocket);
}

TEST_F(SocketSeamTest, AddressesParseAndResolve) {
    EXPECT_EQ(inetAddr("127.0.0.1"), kLoopbackAddress);
    EXPECT_EQ(inetAddr("not an address"), 0xFFFFFFFFu);
    std::uint32_t address = 0;
    ASSERT_TRUE(resolveIpv4("127.0.0.1", address));
    EXPECT_EQ(address, kLoopbackAddress);
    EXPECT_EQ(statusPort(6000), 6000);
}

}  // namespace
