// The handshake from the server's side of the wire.
#include "backup-server/session/AgentSession.h"
#include "crypto/SecureChannel.h"
#include "platform/ByteOrder.h"
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
    std::uint32_t version = offeredVersion_ >= 2 ? kProtocol2Version : kServerProtocolVersion;
    sendCode(net::PROT_VERSION).write32(version).flush();
    transcript_ = "zentrad protocol 2";
    platform::appendBigEndian(transcript_, agentVersion_, 4);
    platform::appendBigEndian(transcript_, version, 4);
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
    recordTranscript(keys.publicPem());
}

void AgentSession::recordTranscript(std::string_view bytes) {
    platform::appendBigEndian(transcript_, bytes.size(), 4);
    transcript_.append(bytes);
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
    recordTranscript(agentPublicKeyPem_);
    return true;
}

void AgentSession::answerChallenge(const ServerKeys& keys) {
    readCodeExpect(net::PROT_AUTH_CHALLENGE);
    std::string sealed = readString(kMaxKeyText);
    crypto::KeyMsg protocolKey(keys.privateKey(), sealed);
    // The agent confirms version 2 inside the sealed key; only an offer can be confirmed.
    agentConfirmed2_ = protocolKey.getType() == kProtocol2KeyType && !recovery_;
    if (agentConfirmed2_ && offeredVersion_ < 2) {
        ZENTRAD_THROW(runtime::AgentException,
                      "The agent confirmed protocol version 2, which was not offered");
    }
    std::string response = protocolKey.encrypt(agentPublicKey_);
    sendCode(net::PROT_AUTH_RESPONSE).writeString(response).flush();
    recordTranscript(sealed);
    recordTranscript(response);
    net::Code verdict = readCode();
    if (verdict == net::PROT_AUTH_FAILED) {
        ZENTRAD_THROW(runtime::AgentException,
                      "The agent did not accept our authentication response");
    }
    verifyCode(net::PROT_AUTH_OK, verdict);
    protocolKey_ = protocolKey;
}

void AgentSession::challengeAgent(const ServerKeys& keys) {
    // The challenge states, where only the agent can read it and nobody can change it
    // unseen, whether version 2 was offered: an agent that saw no offer learns here that
    // it was stripped.
    crypto::KeyMsg fresh(crypto::KeyMsg::kGeneratedType, 128);
    crypto::KeyMsg challenge(offeredVersion_ >= 2 ? kProtocol2KeyType : fresh.getType(),
                             fresh.key(), fresh.iv());
    std::string sealedChallenge = challenge.encrypt(agentPublicKey_);
    sendCode(net::PROT_AUTH_CHALLENGE).writeString(sealedChallenge).flush();
    recordTranscript(sealedChallenge);
    readCodeExpect(net::PROT_AUTH_RESPONSE);
    std::string sealed = readString(kMaxKeyText);
    if (crypto::KeyMsg(keys.privateKey(), sealed) != challenge) {
        sendCode(net::PROT_AUTH_FAILED).flush();
        ZENTRAD_THROW(runtime::AgentException, "The agent's authentication response is wrong");
    }
    sendCode(net::PROT_AUTH_OK).flush();
    if (agentConfirmed2_) {
        setChannel(std::make_unique<crypto::SecureChannel>(protocolKey_->key() + challenge.key(),
                                                           crypto::sha256(transcript_), false));
    }
}

}  // namespace backup_server
