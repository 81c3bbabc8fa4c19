// The handshake from the server's side of the wire.
#include "backup-server/AgentSession.h"
#include "runtime/Exceptions.h"

namespace backup_server {
namespace {

constexpr std::uint32_t kMaxKeyText = 64 * 1024;

}  // namespace

HandshakeOutcome AgentSession::handshake(const ServerKeys& keys, HandshakeMode mode) {
    exchangeVersionAndOptions();
    sendOurKey(keys);
    if (!receiveAgentKey())
        return HandshakeOutcome::rejected;
    if (mode == HandshakeMode::initializeHost) {
        sendCode(net::PROT_HOST_INITIALIZED).flush();
        return HandshakeOutcome::hostInitialized;
    }
    sendCode(net::PROT_AUTH_START).flush();
    answerChallenge(keys);
    if (!recovery_)
        challengeAgent(keys);
    return HandshakeOutcome::authenticated;
}

void AgentSession::exchangeVersionAndOptions() {
    readCodeExpect(net::PROT_VERSION);
    agentVersion_ = read32();
    sendCode(net::PROT_VERSION).write32(kServerProtocolVersion).flush();
    readCodeExpect(net::PROT_SERVER_OPTION);
    read32();
    sendCode(net::PROT_SERVER_OPTION).write32(0).flush();
}

void AgentSession::sendOurKey(const ServerKeys& keys) {
    // A normal agent asks for the key; one in recovery mode announces itself and expects
    // the key unasked.
    net::Code code = readCode();
    if (code == net::PROT_RECOVERY_MODE) {
        recovery_ = true;
    } else {
        verifyCode(net::PROT_GET_PUBLIC_KEY, code);
    }
    sendCode(net::PROT_PUBLIC_KEY).writeString(keys.publicPem()).flush();
}

bool AgentSession::receiveAgentKey() {
    net::Code code = readCode();
    if (code == net::PROT_REJECTED)
        return false;
    verifyCode(net::PROT_PUBLIC_KEY, code);
    agentPublicKeyPem_ = readString(kMaxKeyText);
    agentPublicKey_ = crypto::RsaKey::readPublicPem(agentPublicKeyPem_);
    if (!agentPublicKey_)
        ZENTRAD_THROW(runtime::AgentException, "error reading agent public key");
    return true;
}

void AgentSession::answerChallenge(const ServerKeys& keys) {
    readCodeExpect(net::PROT_AUTH_CHALLENGE);
    std::string sealed = readString(kMaxKeyText);
    crypto::KeyMsg protocolKey(keys.privateKey(), sealed);
    sendCode(net::PROT_AUTH_RESPONSE).writeString(protocolKey.encrypt(agentPublicKey_)).flush();
    net::Code verdict = readCode();
    if (verdict == net::PROT_AUTH_FAILED) {
        ZENTRAD_THROW(runtime::AgentException,
                      "The agent did not accept our authentication response");
    }
    verifyCode(net::PROT_AUTH_OK, verdict);
    protocolKey_ = protocolKey;
}

void AgentSession::challengeAgent(const ServerKeys& keys) {
    crypto::KeyMsg challenge(crypto::KeyMsg::kGeneratedType, 128);
    sendCode(net::PROT_AUTH_CHALLENGE).writeString(challenge.encrypt(agentPublicKey_)).flush();
    readCodeExpect(net::PROT_AUTH_RESPONSE);
    std::string sealed = readString(kMaxKeyText);
    if (crypto::KeyMsg(keys.privateKey(), sealed) != challenge) {
        sendCode(net::PROT_AUTH_FAILED).flush();
        ZENTRAD_THROW(runtime::AgentException, "The agent's authentication response is wrong");
    }
    sendCode(net::PROT_AUTH_OK).flush();
}

}  // namespace backup_server
