// A malformed unit from a server ends that connection: the agent logs "Closing
// connection: " with the reason, sends it as a log record followed by PROT_ERROR, and goes
// on serving other and new connections. The codecs' own refusals (string bounds, cipher
// and digest failures, underruns, time-outs) are asserted by the net and crypto suites; here
// one of each kind of unit shows that the reason crosses the process boundary.
#include <gtest/gtest.h>

#include "AgentProcess.h"
#include "backup-server/commands/Echo.h"
#include "platform/ByteOrder.h"

namespace {

class BadInputTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        test::prepareServerSide();
        agent = new test::AgentProcess();
        agent->allowServer(test::serverKeys("first"));
        agent->start();
    }
    static void TearDownTestSuite() {
        EXPECT_EQ(agent->stop(), 0);
        delete agent;
    }

    void SetUp() override { bystander = agent->openSession(test::serverKeys("first")); }

    // The connection that went wrong is closed with reason; a connection opened before it
    // and a new one are still served.
    void expectClosedWith(backup_server::AgentSession& session, const std::string& reason) {
        std::string text = test::closingReason(session);
        EXPECT_EQ(text.rfind("Closing connection: " + reason, 0), 0u) << text;
        EXPECT_TRUE(agent->waitForLog("Closing connection: " + reason));
        EXPECT_TRUE(backup_server::sendEcho(*bystander));
        auto fresh = agent->openSession(test::serverKeys("first"));
        EXPECT_TRUE(backup_server::sendEcho(*fresh));
        fresh->finish();
        bystander->finish();
    }

    std::unique_ptr<backup_server::AgentSession> authenticated(std::uint32_t protocol = 2) {
        return agent->openSession(test::serverKeys("first"), protocol);
    }

    static void sendRaw(backup_server::AgentSession& session, const std::string& bytes) {
        session.socket()->sendAll(bytes.data(), static_cast<std::int64_t>(bytes.size()));
    }

    static std::string code(net::Code value) {
        std::string bytes;
        platform::appendU32(bytes, value);
        return bytes;
    }

    static inline test::AgentProcess* agent = nullptr;
    std::unique_ptr<backup_server::AgentSession> bystander;
};

// One connection after another goes wrong, each in its own way; SetUp() opens the
// bystander that must outlive each of them.
TEST_F(BadInputTest, MalformedUnitsCloseOnlyTheirConnection) {
    auto wrongCode = agent->connect();
    wrongCode->readCodeExpect(net::PROT_VERSION);
    wrongCode->read32();
    sendRaw(*wrongCode, code(net::PROT_SERVER_OPTION) + code(0x00010020));
    expectClosedWith(*wrongCode, "Protocol version mismatch (");

    // Before authentication a string is bounded before it is read.
    SetUp();
    auto oversized = agent->connect();
    oversized->readCodeExpect(net::PROT_VERSION);
    oversized->read32();
    sendRaw(*oversized, code(net::PROT_VERSION) + code(0x00010020));
    oversized->readCodeExpect(net::PROT_SERVER_OPTION);
    oversized->read32();
    sendRaw(*oversized, code(net::PROT_SERVER_OPTION) + code(0));
    oversized->readCodeExpect(net::PROT_GET_PUBLIC_KEY);
    sendRaw(*oversized, code(net::PROT_PUBLIC_KEY) + code(100000));
    expectClosedWith(
        *oversized,
        "String of (100000) bytes from remote host exceeds the limit of (65536) bytes (");

    SetUp();
    auto unaligned = authenticated(1);
    sendRaw(*unaligned, code(net::PROT_ENCRYPTED) + code(13) + std::string(13, 'x'));
    expectClosedWith(*unaligned, "final cipher error while decrypting protocol message (");

    // In protocol version 2 a sealed message is at least its tag, and must open.
    SetUp();
    auto short2 = authenticated(2);
    sendRaw(*short2, code(net::PROT_ENCRYPTED) + code(13) + std::string(13, 'x'));
    expectClosedWith(*short2, "Secure channel: message of 13 bytes is shorter than its tag (");
    SetUp();
    auto forged = authenticated(2);
    sendRaw(*forged, code(net::PROT_ENCRYPTED) + code(40) + std::string(40, 'x'));
    expectClosedWith(*forged,
                     "Secure channel: message 0 is not the next message the peer sealed in this "
                     "session (");

    SetUp();
    auto unknown = authenticated();
    auto request = unknown->newMessage();
    request->write32(0x12345678);
    request->send();
    expectClosedWith(*unknown,
                     "Protocol error.  Unrecognized encrypted request code (0x12345678) (");

    // A keep-alive between requests is skipped; an error report is not. (Sealed, as
    // version 2 sends them; bare, either is refused.)
    for (std::uint32_t protocol : {1u, 2u}) {
        SetUp();
        auto between = authenticated(protocol);
        between->sendCode(net::PROT_KEEPALIVE).flush();
        ASSERT_TRUE(backup_server::sendEcho(*between));
        between->sendCode(net::PROT_ERROR).flush();
        expectClosedWith(*between,
                         "Remote host has reported an error and closed the connection. (");
    }
    SetUp();
    auto bare = authenticated(2);
    sendRaw(*bare, code(net::PROT_KEEPALIVE));
    expectClosedWith(*bare, "Protocol error.  Unsealed unit (0xe1e7e5f9) in protocol version 2 (");

    SetUp();
    auto unknownItem = authenticated();
    auto infoRequest = unknownItem->newMessage();
    infoRequest->write32(net::PROT_REQ_SERVER_INFO);
    infoRequest->send();
    auto item = unknownItem->newMessage();
    item->write32(0xE1E7E60C);
    item->send();
    expectClosedWith(*unknownItem, "Uknown server info code (0xe1e7e60c) (");
}

}  // namespace
