// The socket's receive buffer against a real loopback peer: what one kernel read brings in
// beyond the current receive is served, in order and exactly once, to the receives after it,
// and the buffer neither hides a stalled or closed peer nor an interruption.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "SocketPair.h"
#include "net/ProtocolStream.h"
#include "net/SocketException.h"

namespace {

// Record i: a 4-byte length, then that many bytes derived from i. Sizes vary from a few
// bytes to more than the receive buffer, so some records are served from it and some
// are read past it.
std::string record(std::size_t i) {
    static const std::size_t sizes[] = {1, 29, 4096, 4125, 65536, 7, 300000, 3, 4096};
    std::size_t size = sizes[i % std::size(sizes)];
    std::string bytes(4 + size, '\0');
    for (int b = 0; b < 4; ++b)
        bytes[static_cast<std::size_t>(b)] = static_cast<char>(size >> (24 - 8 * b));
    for (std::size_t k = 0; k < size; ++k)
        bytes[4 + k] = static_cast<char>(i * 31 + k * 7);
    return bytes;
}

class ReceiveBufferTest : public ::testing::Test {
  protected:
    // Short, so that tests of silent peers end quickly.
    static constexpr std::int32_t kTimeout = 1;
};

// The same records sent as one segment and in pieces whose sizes cycle from one byte to
// more than a record (so pieces end inside lengths and inside data, and a record spans
// many pieces) arrive whole and in order.
TEST_F(ReceiveBufferTest, RecordsArriveInOrderHoweverTheyAreCut) {
    constexpr std::size_t kRecords = 18;
    std::string stream;
    for (std::size_t i = 0; i < kRecords; ++i)
        stream += record(i);
    using Pieces = std::vector<std::size_t>;
    for (const Pieces& pieces : {Pieces{stream.size()}, Pieces{1, 5, 3, 29, 4099, 70001}}) {
        SCOPED_TRACE("first piece " + std::to_string(pieces[0]));
        test::SocketPair pair{kTimeout};
        std::thread sender([&] {
            std::size_t next = 0;
            for (std::size_t at = 0; at < stream.size(); at += pieces[next++ % pieces.size()]) {
                std::size_t length = std::min(pieces[next % pieces.size()], stream.size() - at);
                pair.far->sendAll(stream.data() + at, static_cast<std::int64_t>(length));
            }
        });
        for (std::size_t i = 0; i < kRecords; ++i) {
            unsigned char length[4];
            pair.near->receiveAll(length, 4);
            std::size_t size = (std::size_t{length[0]} << 24) | (std::size_t{length[1]} << 16) |
                               (std::size_t{length[2]} << 8) | length[3];
            std::string data(size, '\0');
            pair.near->receiveAll(data.data(), static_cast<std::int64_t>(size));
            ASSERT_EQ(record(i).substr(4), data) << "record " << i;
        }
        sender.join();
        EXPECT_EQ(pair.near->bufferedBytes(), 0u);
    }
}

// Bytes a protocol read brought in with its code are the next raw read's, the peer's half
// record after them still times out with the count of what arrived, and the connection
// reads on cleanly after that.
TEST_F(ReceiveBufferTest, BufferedTailGoesToTheNextReadAndAStallStillTimesOut) {
    test::SocketPair pair{kTimeout};
    net::ProtocolStream stream(pair.near.get());
    std::string sent = std::string("\0\0\0\x2a", 4) + "tail of the segment" + "half";
    pair.far->sendAll(sent.data(), static_cast<std::int64_t>(sent.size()));
    // Wait until the whole segment is there, so the code's read takes all of it.
    ASSERT_TRUE(pair.near->waitReadable(5));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(stream.read32(), 0x2au);
    EXPECT_EQ(pair.near->bufferedBytes(), sent.size() - 4);
    std::string tail(19, '\0');
    pair.near->receiveAll(tail.data(), 19);
    EXPECT_EQ(tail, "tail of the segment");
    EXPECT_EQ(test::receiveError(*pair.near, 8),
              "Timed out while receiving data from remote host after (1) seconds. (Received  4/8)");
    // After the time-out the next read gets what the peer sends next, nothing older.
    pair.far->sendAll("next", 4);
    std::string next(4, '\0');
    pair.near->receiveAll(next.data(), 4);
    EXPECT_EQ(next, "next");
}

// What arrived before the peer closed is served; only the read that needs more reports the
// close, and an interrupted socket serves nothing, buffered bytes included.
TEST_F(ReceiveBufferTest, CloseAndInterruptionAreReportedDespiteBufferedBytes) {
    test::SocketPair pair{kTimeout};
    pair.far->sendAll("abcdefgh", 8);
    pair.far->close();
    std::string first(3, '\0');
    pair.near->receiveAll(first.data(), 3);
    EXPECT_EQ(first, "abc");

    pair.near->interruptReceive(true);
    EXPECT_EQ(test::receiveError(*pair.near, 2), "Receiving interrupted (Received  0/2)");
    pair.near->interruptReceive(false);

    std::string second(2, '\0');
    pair.near->receiveAll(second.data(), 2);
    EXPECT_EQ(second, "de");
    std::string message = test::receiveError(*pair.near, 4);
    EXPECT_EQ(
        message.rfind("Remote host unexpectedly closed connection after trying to read for (", 0),
        0u)
        << message;
    EXPECT_TRUE(message.ends_with(") seconds")) << message;
}

}  // namespace
