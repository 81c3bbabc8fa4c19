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
        sendCode(Net::PROT_HOST_INITIALIZED).flush();
        return HandshakeOutcome::hostInitialized;
    }
    sendCode(Net::PROT_AUTH_START).flush();
    answerChallenge(keys);
    if (!recovery_)
        challengeAgent(keys);
    return HandshakeOutcome::authenticated;
}

void AgentSession::exchangeVersionAndOptions() {
    readCodeExpect(Net::PROT_VERSION);
    agentVersion_ = read32();
    sendCode(Net::PROT_VERSION).write32(kServerProtocolVersion).flush();
    readCodeExpect(Net::PROT_SERVER_OPTION);
    read32();
    sendCode(Net::PROT_SERVER_OPTION).write32(0).flush();
}

void AgentSession::sendOurKey(const ServerKeys& keys) {
    // A normal agent asks for the key; one in recovery mode announces itself and expects
    // the key unasked.
    Net::Code code = readCode();
    if (code == Net::PROT_RECOVERY_MODE) {
        recovery_ = true;
    } else {
        verifyCode(Net::PROT_GET_PUBLIC_KEY, code);
    }
    sendCode(Net::PROT_PUBLIC_KEY).writeString(keys.publicPem()).flush();
}

bool AgentSession::receiveAgentKey() {
    Net::Code code = readCode();
    if (code == Net::PROT_REJECTED)
        return false;
    verifyCode(Net::PROT_PUBLIC_KEY, code);
    agentPublicKeyPem_ = readString(kMaxKeyText);
    agentPublicKey_ = crypto::RsaKey::readPublicPem(agentPublicKeyPem_);
    if (!agentPublicKey_)
        ZENTRAD_THROW(runtime::AgentException, "error reading agent public key");
    return true;
}

void AgentSession::answerChallenge(const ServerKeys& keys) {
    readCodeExpect(Net::PROT_AUTH_CHALLENGE);
    std::string sealed = readString(kMaxKeyText);
    crypto::KeyMsg protocolKey(keys.privateKey(), sealed);
    sendCode(Net::PROT_AUTH_RESPONSE).writeString(protocolKey.encrypt(agentPublicKey_)).flush();
    Net::Code verdict = readCode();
    if (verdict == Net::PROT_AUTH_FAILED) {
        ZENTRAD_THROW(runtime::AgentException,
                      "The agent did not accept our authentication response");
    }
    verifyCode(Net::PROT_AUTH_OK, verdict);
    protocolKey_ = protocolKey;
}

void AgentSession::challengeAgent(const ServerKeys& keys) {
    crypto::KeyMsg challenge(crypto::KeyMsg::kGeneratedType, 128);
    sendCode(Net::PROT_AUTH_CHALLENGE).writeString(challenge.encrypt(agentPublicKey_)).flush();
    readCodeExpect(Net::PROT_AUTH_RESPONSE);
    std::string sealed = readString(kMaxKeyText);
    if (crypto::KeyMsg(keys.privateKey(), sealed) != challenge) {
        sendCode(Net::PROT_AUTH_FAILED).flush();
        ZENTRAD_THROW(runtime::AgentException, "The agent's authentication response is wrong");
    }
    sendCode(Net::PROT_AUTH_OK).flush();
}

}  // namespace backup_server
