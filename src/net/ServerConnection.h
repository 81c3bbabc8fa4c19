// The agent's side of one server connection: the plain protocol stream plus what the
// handshake establishes (the server's public key, the backup session key, the server's
// protocol version and option value) and the per-connection protocol key that encrypts
// every request and reply afterwards.
//
// Used by the connection thread and, while a request runs, by the threads it starts; each
// thread builds and sends its own messages, and no lock guards the socket.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "crypto/KeyMsg.h"
#include "crypto/RsaKey.h"
#include "net/AdmissionSettings.h"
#include "net/ProtocolStream.h"

namespace net {

class ServerConnection : public ProtocolStream {
  public:
    static constexpr std::uint32_t kAgentProtocolVersion = 0x00010020;
    static constexpr std::uint32_t kLowestServerVersion = 0x00010020;
    // A server that knows protocol version 2 answers the version exchange with this value
    // or above (an agent that knows only version 1 accepts it and goes on in version 1).
    static constexpr std::uint32_t kProtocol2Version = 0x00020020;
    // Key-record type that says "version 2" inside the RSA-sealed records of the mutual
    // challenge: the agent's protocol key carries it to confirm the offer it saw, the
    // server's challenge carries it to state that it made the offer. Neither can be
    // changed on the way without failing the challenge, so a stripped offer is found.
    static constexpr std::uint16_t kProtocol2KeyType = 0x7632;
    // Before the server has proved itself it has no business sending anything large: a PEM
    // key or a sealed record is a few hundred bytes.
    static constexpr std::uint32_t kMaxHandshakeString = 64 * 1024;

    // Generates the connection's protocol key (type 1, 128 bits). The socket is not owned.
    // A connection that never runs the handshake may leave the settings empty.
    explicit ServerConnection(TcpSocket* socket, AdmissionSettings settings = {});

    // Runs the handshake. True when the server is authenticated and requests may follow,
    // false when the connection must close without error (server turned away by key, or it
    // only initialised the host). Every other failure throws. The whole exchange
    // must finish within twice the configured time-out, however the server trickles.
    bool authenticate();

    // Reads the server's public key (asking for it unless in recovery mode) and stores it.
    void getPublicKey();

    void setServerPublicKey(crypto::RsaKeyPtr key) { serverPublicKey_ = std::move(key); }
    const crypto::RsaKeyPtr& serverPublicKey() const { return serverPublicKey_; }
    const std::shared_ptr<crypto::KeyMsg>& backupSessionKey() const { return backupSessionKey_; }
    const crypto::KeyMsg& protocolKey() const { return protocolKey_; }
    const AdmissionSettings& settings() const { return settings_; }
    std::uint32_t serverVersion() const { return serverVersion_; }
    std::uint32_t serverOption() const { return serverOption_; }

  private:
    bool inRecoveryMode() const;
    bool addressDecidesAdmission() const;
    void exchangeVersions();
    void exchangeOptions();
    // Step of the handshake that decides admission by key; false when turned away.
    bool serverKeyAdmitted(const crypto::RsaKeyPtr& addressKey);
    void reject(const char* reason);
    void proveServer(const crypto::RsaKeyPtr& agentPrivateKey);
    void proveAgent(const crypto::RsaKeyPtr& agentPrivateKey);
    bool runHandshake();
    // Version 2 was offered and may be confirmed (never in recovery mode).
    bool confirmsProtocol2() const;
    void recordTranscript(std::string_view bytes);
    // Sets up version 2's channel from the handshake's secrets and transcript.
    void startChannel(const crypto::KeyMsg& serverChallenge);
    void checkProtocolAllowed() const;

    AdmissionSettings settings_;
    crypto::RsaKeyPtr serverPublicKey_;
    std::string serverPublicKeyPem_;
    std::shared_ptr<crypto::KeyMsg> backupSessionKey_;
    std::uint32_t serverVersion_ = 0;
    std::uint32_t serverOption_ = 2;
    crypto::KeyMsg protocolKey_;
    std::string transcript_;
};

}  // namespace net
