// Who the agent admits by address with IP authentication, and in recovery mode. (Admission by
// key alone and the host-initialisation exchange are RequestsTest's.)
#include <gtest/gtest.h>

#include "AgentProcess.h"
#include "backup-server/commands/Echo.h"

namespace {

using backup_server::HandshakeOutcome;

class AdmissionTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { test::prepareServerSide(); }
};

using test::hasLogRecord;

TEST_F(AdmissionTest, IpAuthenticationNeedsTheAddressAndItsKey) {
    test::AgentSettings settings;
    settings.ipAuthentication = true;
    test::AgentProcess agent(settings);
    agent.allowServer(test::serverKeys("first"), "10.1.1.1");  // the key, but not this address
    agent.start();

    auto turnedAway = agent.connect();
    EXPECT_EQ(turnedAway->readCode(), net::PROT_REJECTED);
    EXPECT_TRUE(
        hasLogRecord(*turnedAway, net::PROT_LOG_WARN,
                     "Rejecting backup server (127.0.0.1) since it is not in our allow list"));

    // The address is allowed, but with another server's key on file.
    agent.allowServer(test::serverKeys("second"), "127.0.0.1");
    EXPECT_EQ(agent.connect()->handshake(test::serverKeys("first")), HandshakeOutcome::rejected);

    auto admitted = agent.openSession(test::serverKeys("second"));
    EXPECT_TRUE(backup_server::sendEcho(*admitted));
    admitted->finish();
    EXPECT_EQ(agent.stop(), 0);
}

TEST_F(AdmissionTest, RecoveryModeSkipsTheSecondHalfButStillChecksTheKey) {
    test::AgentSettings settings;
    settings.ipAuthentication = true;
    settings.arguments = {"--recovery"};
    test::AgentProcess agent(settings);
    agent.allowServer(test::serverKeys("first"), "10.1.1.1");
    agent.start();

    auto session = agent.openSession(test::serverKeys("first"));
    EXPECT_TRUE(session->agentInRecoveryMode());
    EXPECT_TRUE(hasLogRecord(*session, net::PROT_LOG_INFO,
                             "In recovery mode: retrieving public key from server"));
    EXPECT_TRUE(backup_server::sendEcho(*session));
    session->finish();

    EXPECT_EQ(agent.connect()->handshake(test::serverKeys("second")), HandshakeOutcome::rejected);
    EXPECT_EQ(agent.stop(), 0);
}

}  // namespace
