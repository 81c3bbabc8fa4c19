#include "backup-server/AgentSession.h"

#include "runtime/Exceptions.h"

namespace backup_server {

const char* logRecordLevel(Net::Code code) {
    switch (code) {
        case Net::PROT_LOG_WARN:
            return "WARN";
        case Net::PROT_LOG_INFO:
            return "INFO";
        default:
            return "ERROR";
    }
}

std::unique_ptr<AgentSession> AgentSession::connect(const std::string& host, std::uint16_t port) {
    return std::make_unique<AgentSession>(Net::TcpSocket::connectTo(host, port));
}

AgentSession::AgentSession(std::unique_ptr<Net::TcpSocket> socket)
    : ProtocolStream(socket.get()), socket_(std::move(socket)) {}

Net::Code AgentSession::readCode() {
    for (;;) {
        Net::Code code = readRawCode();
        if (!Net::isLogRecordCode(code)) {
            if (code == Net::PROT_ERROR) {
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

std::unique_ptr<Net::EncryptedMessage> AgentSession::newMessage() {
    return std::make_unique<Net::EncryptedMessage>(*this, protocolKey());
}

std::unique_ptr<Net::EncryptedMessage> AgentSession::receiveMessage() {
    auto message = newMessage();
    message->receiveExpected();
    return message;
}

void AgentSession::finish() {
    sendCode(Net::PROT_FINISHED).flush();
}

}  // namespace backup_server
