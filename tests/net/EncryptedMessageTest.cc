// Encrypted messages over a real connection: typed fields survive the round trip, and
// hostile lengths or short plain texts fail with their texts before anything is allocated.
#include <gtest/gtest.h>

#include <string>

#include "SocketPair.h"
#include "common/ExpectThrow.h"
#include "crypto/CryptoLibrary.h"
#include "net/EncryptedMessage.h"
#include "runtime/Exceptions.h"

namespace {

class EncryptedMessageTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { crypto::CryptoLibrary::initialise(); }

    test::SocketPair pair;
    net::ProtocolStream sender{pair.far.get()};
    net::ProtocolStream receiver{pair.near.get()};
    crypto::KeyMsg key{1, 128};
};

std::string underrun(std::uint64_t bytes) {
    return "Buffer underrun when attempting to read (" + std::to_string(bytes) +
           ") bytes from encrypted message buffer";
}

TEST_F(EncryptedMessageTest, TypedFieldsSurviveTheRoundTrip) {
    net::EncryptedMessage out(sender, key);
    out.write8(7)
        .write16(0xBEEF)
        .write32(net::PROT_REQ_ECHO)
        .write64(4294967298ULL)
        .writeString("abc")
        .writeKey(key);
    out.send();

    net::EncryptedMessage in(receiver, key);
    in.receiveExpected();
    EXPECT_EQ(in.read8(), 7);
    EXPECT_EQ(in.read16(), 0xBEEF);
    EXPECT_EQ(in.read32(), net::PROT_REQ_ECHO);
    EXPECT_EQ(in.read64(), 4294967298ULL);
    EXPECT_EQ(in.readString(), "abc");
    EXPECT_EQ(in.readKey(), key);
    EXPECT_TRUE(in.atEnd());
}

// A failed read leaves the message failed: the byte after the short field is not served.
TEST_F(EncryptedMessageTest, ShortPlainTextsAndHostileLengthsUnderrun) {
    net::EncryptedMessage message(receiver, key);
    message.setPlainText(std::string("\x00\x00\x01", 3));
    EXPECT_THROW_TEXT(message.read32(), underrun(4));
    EXPECT_THROW_TEXT(message.read8(), underrun(1));

    net::EncryptedMessage hostile(receiver, key);
    hostile.setPlainText(std::string("\xFF\xFF\xFF\xF0xyz", 7));
    EXPECT_THROW_TEXT(hostile.readString(), underrun(4294967280));
}

TEST_F(EncryptedMessageTest, OversizedCiphertextIsRefusedBeforeItIsRead) {
    net::ShortMessage unit(pair.far.get());
    unit.write32(0x7FFFFFF8);
    unit.flush();
    net::EncryptedMessage message(receiver, key);
    EXPECT_THROW_MESSAGE(message.receive(),
                         "received invalid encrypted message from host: ciphertext length");
}

TEST_F(EncryptedMessageTest, CiphertextUnderAnotherKeyIsNeverHandedOn) {
    net::EncryptedMessage out(sender, crypto::KeyMsg(1, 128));
    out.write32(net::PROT_REQ_ECHO);
    out.send();
    net::EncryptedMessage in(receiver, key);
    EXPECT_THROW(in.receiveExpected(), runtime::AgentException);
    EXPECT_TRUE(in.plainText().empty());
}

}  // namespace
