// Commands about keys and authentication alone.
#include <iostream>

#include "backup-server/Command.h"
#include "backup-server/OperatorText.h"

namespace backup_server {

int publicKeyCommand(CommandContext& context) {
    *context.out << context.keys().publicPem();
    return 0;
}

int handshakeCommand(CommandContext& context) {
    auto session = context.openSession();
    session->finish();
    return 0;
}

int initializeHostCommand(CommandContext& context) {
    auto session = context.connect();
    HandshakeOutcome outcome = session->handshake(context.keys(), HandshakeMode::initializeHost);
    for (const auto& record : session->logRecords()) {
        context.messages() << "agent " << logRecordLevel(record.code) << ": "
                           << withoutSourceLocations(record.text) << "\n";
    }
    if (outcome == HandshakeOutcome::rejected) {
        *context.out << "rejected by the agent\n";
        return 1;
    }
    *context.out << "host initialised; agent public key:\n" << session->agentPublicKeyPem();
    return 0;
}

}  // namespace backup_server
