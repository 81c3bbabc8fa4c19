// Bytes on the wire and the exact texts of protocol errors.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "SocketPair.h"
#include "common/ExpectThrow.h"
#include "common/TestBytes.h"
#include "logging/Logger.h"
#include "net/KeepAliveThread.h"
#include "net/Message.h"
#include "net/ProtocolStream.h"

namespace {

std::string receive(net::TcpSocket& socket, std::size_t length) {
    std::string bytes(length, '\0');
    socket.receiveAll(bytes.data(), static_cast<std::int64_t>(length));
    return bytes;
}

TEST(ShortMessage, EncodesIntegersAndStringsBigEndian) {
    net::ShortMessage message(nullptr);
    message.write64(4294967298ULL).writeString("abc").write32(0xE1E7E5F1);
    EXPECT_EQ(test::hex(message.buffered()),
              "0000000100000002"
              "00000003616263"
              "e1e7e5f1");
}

TEST(ShortMessage, ReachesTheWireOnceWhenFlushedAndDestroyed) {
    test::SocketPair pair;
    {
        net::ShortMessage message(pair.near.get());
        message.writeCode(net::PROT_ACK);
        message.flush();
    }
    net::ShortMessage(pair.near.get()).writeCode(net::PROT_FINISHED);
    EXPECT_EQ(test::hex(receive(*pair.far, 8)), "e1e7e5f1e1e7e5f4");
}

TEST(ShortMessage, CarriesTheThreadsLogRecordsAheadOfItsCode) {
    logging::Logger::get().setNetLogger(std::make_shared<logging::NetLogger>());
    logging::logInfo() << "Host initialization complete";
    logging::logDebug() << "never sent";
    net::ShortMessage message(nullptr);
    message.writeCode(net::PROT_REJECTED);
    message.writeCode(net::PROT_ERROR);
    logging::Logger::get().setNetLogger(nullptr);
    EXPECT_EQ(message.buffered(), std::string("\xE1\xE7\xEF\xF0\x00\x00\x00\x1C", 8) +
                                      "Host initialization complete" + "\xE1\xE7\xE6\x03" +
                                      "\xE1\xE7\xE5\xF3");
}

TEST(ProtocolStream, ReportsCodeErrorsWithTheirExactTexts) {
    test::SocketPair pair;
    net::ProtocolStream stream(pair.near.get());
    net::ShortMessage peer(pair.far.get());
    peer.write32(net::PROT_ERROR).write32(net::PROT_FINISHED).write32(0x12345678);
    peer.flush();
    EXPECT_THROW_TEXT(stream.readCodeExpect(net::PROT_AUTH_RESPONSE),
                      "Remote host has reported an error and closed the connection.");
    EXPECT_THROW_TEXT(
        stream.readCodeExpect(net::PROT_ACK),
        "Remote host has unexpectedly reported it is finished and closed the connection.");
    EXPECT_THROW_TEXT(stream.readCodeExpect(net::PROT_ACK),
                      "Protocol error.  Expected (0xe1e7e5f1) but received (0x12345678)");
}

TEST(ProtocolStream, RefusesAStringLongerThanItsLimitBeforeReadingIt) {
    test::SocketPair pair;
    net::ProtocolStream stream(pair.near.get());
    net::ShortMessage peer(pair.far.get());
    peer.write32(0xFFFFFFFF).write32(3).writeBytes("abc").write64(4294967298ULL);
    peer.flush();
    EXPECT_THROW_TEXT(
        stream.readString(65536),
        "String of (4294967295) bytes from remote host exceeds the limit of (65536) bytes");
    EXPECT_EQ(stream.readString(), "abc");
    EXPECT_EQ(stream.read64(), 4294967298ULL);
}

TEST(KeepAliveThread, SendsKeepAlivesUntilStopped) {
    test::SocketPair pair;
    net::ProtocolStream stream(pair.near.get());
    net::ProtocolStream peer(pair.far.get());
    net::KeepAliveThread keepAlive(std::chrono::milliseconds(20));
    keepAlive.start(stream);
    EXPECT_EQ(peer.readCode(), net::PROT_KEEPALIVE);
    EXPECT_EQ(peer.readCode(), net::PROT_KEEPALIVE);
    keepAlive.stop();
    keepAlive.stop();
}

}  // namespace
