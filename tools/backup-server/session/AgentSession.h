// The backup server's connection to one agent: the plain protocol stream (log records the
// agent puts ahead of its codes are collected wherever a code is read), the handshake from
// the server's side, and encrypted requests under the protocol key it establishes.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "backup-server/session/ServerKeys.h"
#include "crypto/KeyMsg.h"
#include "net/EncryptedMessage.h"
#include "net/ProtocolStream.h"

namespace backup_server {

struct ReachedAgent;  // store/StoreAgents.h

struct LogRecord {
    net::Code code = 0;  // PROT_LOG_ERROR, PROT_LOG_WARN or PROT_LOG_INFO
    std::string text;
};

enum class HandshakeMode {
    normal,          // full mutual challenge and response
    initializeHost,  // stop after the agent's public key with PROT_HOST_INITIALIZED
};

enum class HandshakeOutcome { authenticated, rejected, hostInitialized };

class AgentSession : public net::ProtocolStream {
  public:
    static constexpr std::uint32_t kServerProtocolVersion = 0x00010020;
    // The version value that offers protocol version 2 (see net::ServerConnection).
    static constexpr std::uint32_t kProtocol2Version = 0x00020020;
    static constexpr std::uint16_t kProtocol2KeyType = 0x7632;
    // A log record longer than this is not a log record the agent could have queued.
    static constexpr std::uint32_t kMaxLogRecord = 307200;

    // How long the tool waits for the agent to make progress, unless told otherwise.
    static constexpr std::int32_t kTimeoutSeconds = 160;

    // Connects; every later wait for the agent lasts at most timeoutSeconds. Throws
    // net::SocketException.
    static std::unique_ptr<AgentSession> connect(const std::string& host, std::uint16_t port,
                                                 std::int32_t timeoutSeconds);
    explicit AgentSession(std::unique_ptr<net::TcpSocket> socket);

    // Reads the next code, collecting the log records ahead of it; PROT_ERROR throws as in
    // ProtocolStream.
    net::Code readCode() override;

    // The highest protocol version to offer (1 or 2; 2 unless set). Set before handshake().
    void setOfferedVersion(std::uint32_t version) { offeredVersion_ = version; }

    // Runs the handshake; the agent decides whether it is in recovery mode and whether it
    // confirms an offer of version 2 (protocolVersion() then says which one is in use).
    // Throws runtime::AgentException on any protocol or key failure.
    HandshakeOutcome handshake(const ServerKeys& keys, HandshakeMode mode = HandshakeMode::normal);

    // After an authenticated handshake: a new request or reply under the protocol key.
    std::unique_ptr<net::EncryptedMessage> newMessage();
    // Reads PROT_ENCRYPTED and the message that follows.
    std::unique_ptr<net::EncryptedMessage> receiveMessage();
    // Version 2: the request just sent (a backup or a restore) starts a block stream whose
    // records are sealed under that request's keys; serverSends says which way they go.
    // Nothing in version 1.
    void beginBlockStream(const net::EncryptedMessage& request, bool serverSends);
    // The sealer of the block stream under way (null in version 1) and the number of
    // batches it sealed or opened so far.
    crypto::BlockSealer* blockSealer() { return blockSealer_ ? &*blockSealer_ : nullptr; }
    std::uint64_t& sealedBatches() { return sealedBatches_; }

    // Tells the agent there are no more requests.
    void finish();

    bool agentInRecoveryMode() const { return recovery_; }
    // The key the handshake established (throws before that).
    const crypto::KeyMsg& protocolKey() const;
    std::uint32_t agentVersion() const { return agentVersion_; }
    const std::string& agentPublicKeyPem() const { return agentPublicKeyPem_; }
    // The agent as the handshake proved it, for the store's checks of who it is.
    ReachedAgent reachedAgent() const;
    const std::vector<LogRecord>& logRecords() const { return logRecords_; }
    // Called for every log record as it arrives (in addition to collecting it).
    void onLogRecord(std::function<void(const LogRecord&)> sink) { sink_ = std::move(sink); }

  private:
    void exchangeVersionAndOptions();
    void sendOurKey(const ServerKeys& keys);
    bool receiveAgentKey();
    void answerChallenge(const ServerKeys& keys);
    void challengeAgent(const ServerKeys& keys);
    void recordTranscript(std::string_view bytes);

    std::unique_ptr<net::TcpSocket> socket_;
    std::optional<crypto::KeyMsg> protocolKey_;
    crypto::RsaKeyPtr agentPublicKey_;
    std::string agentPublicKeyPem_;
    std::uint32_t agentVersion_ = 0;
    bool recovery_ = false;
    std::uint32_t offeredVersion_ = 2;
    bool agentConfirmed2_ = false;
    std::string transcript_;
    std::optional<crypto::BlockSealer> blockSealer_;
    std::uint64_t sealedBatches_ = 0;
    std::vector<LogRecord> logRecords_;
    std::function<void(const LogRecord&)> sink_;
};

// "ERROR", "WARN" or "INFO" for a log record's code.
const char* logRecordLevel(net::Code code);

}  // namespace backup_server
