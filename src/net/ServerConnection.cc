#include "net/ServerConnection.h"

#include <chrono>

#include "crypto/Challenge.h"
#include "crypto/KeyStore.h"
#include "logging/Logger.h"
#include "net/AllowDirectories.h"
#include "net/PreAuthLog.h"
#include "platform/ByteOrder.h"
#include "runtime/Exceptions.h"

namespace net {
namespace {

// Clears the socket's deadline however the handshake ends.
class DeadlineScope {
  public:
    DeadlineScope(TcpSocket& socket, std::chrono::seconds length) : socket_(socket) {
        socket_.setDeadline(std::chrono::steady_clock::now() + length);
    }
    ~DeadlineScope() { socket_.setDeadline(std::nullopt); }
    DeadlineScope(const DeadlineScope&) = delete;
    DeadlineScope& operator=(const DeadlineScope&) = delete;

  private:
    TcpSocket& socket_;
};

}  // namespace

ServerConnection::ServerConnection(TcpSocket* socket, AdmissionSettings settings)
    : ProtocolStream(socket),
      settings_(std::move(settings)),
      protocolKey_(crypto::KeyMsg::kGeneratedType, 128) {}

bool ServerConnection::inRecoveryMode() const {
    return settings_.recovery;
}

// With IP authentication the address check has already chosen the key the server must
// present; in recovery mode the address check does not run.
bool ServerConnection::addressDecidesAdmission() const {
    return settings_.ipAuthentication && !settings_.recovery;
}

bool ServerConnection::authenticate() {
    std::int32_t timeout = settings_.timeoutSeconds;
    DeadlineScope deadline(
        *socket(), std::chrono::seconds(2 * static_cast<std::int64_t>(std::max(timeout, 1))));
    return runHandshake();
}

bool ServerConnection::runHandshake() {
    exchangeVersions();
    exchangeOptions();
    crypto::encryption::LoadedKeys agentKeys =
        crypto::encryption::loadKeys(settings_.keyFiles, settings_.sessionKeyBits);
    crypto::RsaKeyPtr agentPrivateKey = std::move(agentKeys.privateKey);
    const std::string& agentPublicKeyText = agentKeys.publicKeyText;
    backupSessionKey_ = std::move(agentKeys.backupKey);

    crypto::RsaKeyPtr addressKey = serverPublicKey_;
    if (inRecoveryMode())
        sendCode(PROT_RECOVERY_MODE).flush();
    getPublicKey();
    if (!serverKeyAdmitted(addressKey)) {
        reject("since its public key is not in our allow list");
        return false;
    }
    sendCode(PROT_PUBLIC_KEY).writeString(agentPublicKeyText).flush();

    Code code = readCode();
    if (code == PROT_HOST_INITIALIZED) {
        logging::logInfo() << "Host initialization complete";
        return false;
    }
    if (code != PROT_AUTH_START)
        ZENTRAD_THROW(runtime::AgentException, "Protocol error");

    recordTranscript(serverPublicKeyPem_);
    recordTranscript(agentPublicKeyText);
    proveServer(agentPrivateKey);
    if (!inRecoveryMode())
        proveAgent(agentPrivateKey);
    checkProtocolAllowed();
    return true;
}

bool ServerConnection::confirmsProtocol2() const {
    return settings_.acceptProtocol2 && !inRecoveryMode() && serverVersion_ >= kProtocol2Version;
}

void ServerConnection::recordTranscript(std::string_view bytes) {
    platform::appendBigEndian(transcript_, bytes.size(), 4);
    transcript_.append(bytes);
}

void ServerConnection::startChannel(const crypto::KeyMsg& serverChallenge) {
    std::string secret = protocolKey_.key() + serverChallenge.key();
    setChannel(std::make_unique<crypto::SecureChannel>(secret, crypto::sha256(transcript_), true));
}

void ServerConnection::checkProtocolAllowed() const {
    if (settings_.refuseProtocol1 && channel() == nullptr) {
        ZENTRAD_THROW(runtime::AgentException,
                      "Server refused: it does not speak protocol version 2 and this agent "
                      "refuses protocol version 1");
    }
}

void ServerConnection::exchangeVersions() {
    sendCode(PROT_VERSION).write32(kAgentProtocolVersion).flush();
    Code code = readCode();
    serverVersion_ = read32();
    transcript_ = "zentrad protocol 2";
    platform::appendBigEndian(transcript_, kAgentProtocolVersion, 4);
    platform::appendBigEndian(transcript_, serverVersion_, 4);
    if (code != PROT_VERSION)
        ZENTRAD_THROW(runtime::AgentException, "Protocol version mismatch");
    if (serverVersion_ < kLowestServerVersion) {
        ZENTRAD_THROW(
            runtime::AgentException,
            "Vorlex Server protocol version is incompatible. The Vorlex Server will need to be "
            "upgraded to the latest version.");
    }
}

void ServerConnection::exchangeOptions() {
    sendCode(PROT_SERVER_OPTION).write32(0).flush();
    readCodeExpect(PROT_SERVER_OPTION);
    serverOption_ = read32();
}

void ServerConnection::getPublicKey() {
    if (inRecoveryMode()) {
        logBeforeAuthentication(logging::kLogInfo,
                                "In recovery mode: retrieving public key from server");
    } else {
        sendCode(PROT_GET_PUBLIC_KEY).flush();
    }
    Code code = readRawCode();
    if (code == PROT_ERROR) {
        // Only an agent in recovery mode has announced itself in place of asking; any other
        // agent hears of an ordinary failure of the server.
        ZENTRAD_THROW(runtime::AgentException,
                      inRecoveryMode()
                          ? "host is not sending further requests because we are in recovery mode"
                          : "Remote host has reported an error and closed the connection.");
    }
    if (code != PROT_PUBLIC_KEY) {
        ZENTRAD_THROW(runtime::AgentException,
                      "unexpected response while reading public key from host");
    }
    std::string pem = readString(kMaxHandshakeString);
    serverPublicKeyPem_ = pem;
    crypto::RsaKeyPtr key = crypto::RsaKey::readPublicPem(pem);
    if (!key)
        ZENTRAD_THROW(runtime::AgentException, "error reading server public key");
    serverPublicKey_ = std::move(key);
}

bool ServerConnection::serverKeyAdmitted(const crypto::RsaKeyPtr& addressKey) {
    if (addressDecidesAdmission()) {
        // The key on file for the address must be the key the server holds; otherwise
        // anyone at an allowed address would be admitted with a key of their own.
        return addressKey && addressKey->samePublicKey(*serverPublicKey_);
    }
    return isKeyAllowed(*serverPublicKey_, settings_.serverAllowDir, settings_.backupAllowDir);
}

void ServerConnection::reject(const char* reason) {
    logBeforeAuthentication(logging::kLogWarn, "Rejecting backup server (" +
                                                   socket()->getPeerAddress() + ") " + reason);
    sendCode(PROT_REJECTED).flush();
}

void ServerConnection::proveServer(const crypto::RsaKeyPtr& agentPrivateKey) {
    // The confirmation of version 2 travels inside the sealed protocol key, which the
    // server must return unchanged.
    if (confirmsProtocol2())
        protocolKey_ = crypto::KeyMsg(kProtocol2KeyType, protocolKey_.key(), protocolKey_.iv());
    std::string challenge = crypto::handshake::sealChallenge(protocolKey_, serverPublicKey_);
    sendCode(PROT_AUTH_CHALLENGE).writeString(challenge).flush();
    Code code = readCode();
    std::string response = readString(kMaxHandshakeString);
    recordTranscript(challenge);
    recordTranscript(response);
    if (code != PROT_AUTH_RESPONSE)
        ZENTRAD_THROW(runtime::AgentException, "Protocol error instead of auth response");
    if (!crypto::handshake::responseMatches(protocolKey_, agentPrivateKey, response)) {
        sendCode(PROT_AUTH_FAILED).flush();
        ZENTRAD_THROW(runtime::AgentException, "Server authentication failed");
    }
    sendCode(PROT_AUTH_OK).flush();
}

void ServerConnection::proveAgent(const crypto::RsaKeyPtr& agentPrivateKey) {
    Code code = readCode();
    if (code != PROT_AUTH_CHALLENGE) {
        ZENTRAD_THROW(runtime::AgentException, "Protocol error instead of auth challenge");
    }
    std::string challenge = readString(kMaxHandshakeString);
    crypto::KeyMsg record(agentPrivateKey, challenge);
    // What the server states inside its sealed challenge must be what this agent saw in
    // the clear: an offer removed (or added) on the way ends the connection here.
    bool offerStated = record.getType() == kProtocol2KeyType;
    bool offerSeen = serverVersion_ >= kProtocol2Version;
    if (offerStated != offerSeen && settings_.acceptProtocol2) {
        ZENTRAD_THROW(runtime::AgentException,
                      offerStated ? "Protocol downgrade detected: the server offered protocol "
                                    "version 2 but the offer did not arrive"
                                  : "Protocol version 2 was offered on the server's behalf but "
                                    "not by the server");
    }
    std::string answer = record.encrypt(serverPublicKey_);
    sendCode(PROT_AUTH_RESPONSE).writeString(answer).flush();
    if (readCode() != PROT_AUTH_OK) {
        ZENTRAD_THROW(runtime::AgentException, "Authentication was rejected by remote server");
    }
    recordTranscript(challenge);
    if (confirmsProtocol2())
        startChannel(record);
}

}  // namespace net
