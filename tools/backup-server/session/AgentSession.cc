#include "backup-server/session/AgentSession.h"

#include "backup-server/store/StoreAgents.h"
#include "runtime/Exceptions.h"

namespace backup_server {

const char* logRecordLevel(net::Code code) {
    switch (code) {
        case net::PROT_LOG_WARN:
            return "WARN";
        case net::PROT_LOG_INFO:
            return "INFO";
        default:
            return "ERROR";
    }
}

std::unique_ptr<AgentSession> AgentSession::connect(const std::string& host, std::uint16_t port,
                                                    std::int32_t timeoutSeconds) {
    return std::make_unique<AgentSession>(net::TcpSocket::connectTo(host, port, timeoutSeconds));
}

AgentSession::AgentSession(std::unique_ptr<net::TcpSocket> socket)
    : ProtocolStream(socket.get()), socket_(std::move(socket)) {}

net::Code AgentSession::readCode() {
    for (;;) {
        net::Code code = readRawCode();
        if (!net::isLogRecordCode(code)) {
            if (code == net::PROT_ERROR) {
                ZENTRAD_THROW(runtime::AgentException,
                              "Remote host has reported an error and closed the connection.");
            }
            return code;
        }
        LogRecord record{code, readString(kMaxLogRecord)};
        if (sink_)
            sink_(record);
        logRecords_.push_back(std::move(record));
    }
}

const crypto::KeyMsg& AgentSession::protocolKey() const {
    if (!protocolKey_) {
        ZENTRAD_THROW(runtime::AgentException, "No protocol key: the handshake has not completed");
    }
    return *protocolKey_;
}

std::unique_ptr<net::EncryptedMessage> AgentSession::newMessage() {
    return std::make_unique<net::EncryptedMessage>(*this, protocolKey());
}

std::unique_ptr<net::EncryptedMessage> AgentSession::receiveMessage() {
    auto message = newMessage();
    message->receiveExpected();
    return message;
}

void AgentSession::beginBlockStream(const net::EncryptedMessage& request, bool serverSends) {
    blockSealer_.reset();
    sealedBatches_ = 0;
    if (crypto::SecureChannel* secure = channel()) {
        secure->setRequest(request.sequence());
        blockSealer_.emplace(secure->blockSealer(serverSends));
    }
}

void AgentSession::finish() {
    sendCode(net::PROT_FINISHED).flush();
}

ReachedAgent AgentSession::reachedAgent() const {
    return {agentPublicKeyPem_, !recovery_};
}

}  // namespace backup_server
