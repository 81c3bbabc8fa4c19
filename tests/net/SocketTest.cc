// The socket layer against a real loopback peer: deadlines, sends that cannot go on, and
// the exact texts of its errors. (Receives that time out or meet a closed peer are in the
// receive buffer's tests.)
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "SocketPair.h"
#include "net/SocketException.h"
#include "platform/System.h"
#include "runtime/RunState.h"

namespace {

class SocketTest : public ::testing::Test {
  protected:
    // Short, so that tests of silent peers end quickly.
    static constexpr std::int32_t kTimeout = 1;
};

TEST_F(SocketTest, TricklingPeerIsCutOffAtTheDeadline) {
    test::SocketPair pair{kTimeout};
    pair.near->setDeadline(std::chrono::steady_clock::now() + std::chrono::milliseconds(300));
    pair.far->sendAll("ab", 2);
    EXPECT_EQ(
        test::receiveError(*pair.near, 4),
        "Timed out while receiving data from remote host: the exchange did not complete in time. "
        "(Received  2/4)");
}

TEST_F(SocketTest, PeerAddressIsNumericAndEmptyWhenUnknown) {
    test::SocketPair pair{kTimeout};
    EXPECT_EQ(pair.near->getPeerAddress(), "127.0.0.1");
    net::TcpSocket unconnected{net::TcpSocket::Unconnected{}, kTimeout};
    EXPECT_EQ(unconnected.getPeerAddress(), "");
}

TEST_F(SocketTest, BindingAPortInUseNamesThePort) {
    net::TcpListener first;
    first.bind(platform::kLoopbackAddress, 0);
    first.listen();
    net::TcpListener second;
    std::uint16_t port = first.localPort();
    try {
        second.bind(platform::kLoopbackAddress, port);
        FAIL() << "bound a port in use";
    } catch (const net::SocketException& error) {
        EXPECT_EQ(std::string(error.what()), "Failed to bind to port (" + std::to_string(port) +
                                                 "). Is the service already running?");
    }
}

TEST_F(SocketTest, SendToAClosedPeerFailsWithTheWinsockText) {
    test::SocketPair pair{kTimeout};
    pair.far.reset();
    std::string block(65536, 'x');
    try {
        for (int i = 0; i < 100; ++i)
            pair.near->sendAll(block.data(), static_cast<std::int64_t>(block.size()));
        FAIL() << "sending to a closed peer kept succeeding";
    } catch (const net::SocketException& error) {
        // The system's own text for the Winsock number (Windows': "An existing connection
        // was forcibly closed by the remote host.").
        EXPECT_EQ(std::string(error.what()),
                  "Failed to send data to remote host (10054): " +
                      platform::toNarrow(platform::formatMessage(10054)));
    }
}

// Sends until the peer's receive buffer and ours are full; returns what the last send threw.
template <typename Error>
std::string sendUntilStuck(net::TcpSocket& socket) {
    std::string block(1 << 20, 'x');
    try {
        for (int i = 0; i < 4096; ++i)
            socket.sendAll(block.data(), static_cast<std::int64_t>(block.size()));
    } catch (const Error& error) {
        return error.what();
    }
    return "(nothing thrown)";
}

TEST_F(SocketTest, PeerThatStopsReadingTimesTheSendOut) {
    test::SocketPair pair{kTimeout};
    std::string message = sendUntilStuck<net::SocketException>(*pair.near);
    EXPECT_EQ(
        message.rfind("Timed out while sending data to remote host after (1) seconds. (Sent ", 0),
        0u)
        << message;
}

TEST_F(SocketTest, StopRequestEndsASendThatWaitsForRoom) {
    test::SocketPair pair{kTimeout};
    pair.near->setTimeout(3600);
    std::thread stopper([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        runtime::runningFlag().store(0);
    });
    std::string message = sendUntilStuck<runtime::ShutdownException>(*pair.near);
    stopper.join();
    runtime::runningFlag().store(1);
    EXPECT_NE(message.find("Service shutdown detected"), std::string::npos) << message;
}

}  // namespace
