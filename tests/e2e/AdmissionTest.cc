// Who the agent admits: by key, by address with IP authentication, in recovery mode, and
// the host-initialisation exchange.
#include <gtest/gtest.h>

#include "AgentProcess.h"
#include "backup-server/Echo.h"

namespace {

using backup_server::HandshakeOutcome;

class AdmissionTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { test::prepareServerSide(); }
};

using test::hasLogRecord;

TEST_F(AdmissionTest, UnknownKeyIsRejectedAndHostInitialisationEndsQuietly) {
    test::AgentProcess agent;
    agent.allowServer(test::serverKeys("first"));
    agent.start();

    auto stranger = agent.connect();
    EXPECT_EQ(stranger->handshake(test::serverKeys("second")), HandshakeOutcome::rejected);
    EXPECT_TRUE(hasLogRecord(
        *stranger, net::PROT_LOG_WARN,
        "Rejecting backup server (127.0.0.1) since its public key is not in our allow list"));

    auto initialiser = agent.connect();
    EXPECT_EQ(initialiser->handshake(test::serverKeys("first"),
                                     backup_server::HandshakeMode::initializeHost),
              HandshakeOutcome::hostInitialized);
    EXPECT_TRUE(agent.waitForLog("Host initialization complete"));
    EXPECT_EQ(agent.log().find("Closing connection"), std::string::npos);
    EXPECT_EQ(agent.stop(), 0);
}

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
