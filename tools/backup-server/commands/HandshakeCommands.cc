// Commands about keys and authentication alone.
#include <iostream>

#include "backup-server/commands/Command.h"
#include "backup-server/commands/JsonText.h"
#include "backup-server/commands/OperatorText.h"

namespace backup_server {

int publicKeyCommand(CommandContext& context) {
    std::string pem = context.keys().publicPem();
    if (context.json)
        context.print("", JsonText().beginObject().key("public_key").value(pem).endObject());
    else
        *context.out << pem;
    return kExitOk;
}

int handshakeCommand(CommandContext& context) {
    auto session = context.openSession();
    session->finish();
    if (context.json) {
        JsonText json;
        json.beginObject().key("authenticated").value(true);
        json.key("protocol").value(std::uint64_t{session->protocolVersion()});
        json.key("recovery").value(session->agentInRecoveryMode()).endObject();
        *context.out << json.text() << "\n";
    }
    return kExitOk;
}

int initializeHostCommand(CommandContext& context) {
    auto session = context.connect();
    HandshakeOutcome outcome = session->handshake(context.keys(), HandshakeMode::initializeHost);
    for (const auto& record : session->logRecords()) {
        context.messages() << "agent " << logRecordLevel(record.code) << ": "
                           << withoutSourceLocations(record.text) << "\n";
    }
    if (outcome == HandshakeOutcome::rejected) {
        context.messages() << "rejected by the agent\n";
        return kExitFailed;
    }
    std::string pem = session->agentPublicKeyPem();
    if (context.json)
        context.print("", JsonText().beginObject().key("agent_public_key").value(pem).endObject());
    else
        *context.out << "host initialised; agent public key:\n" << pem;
    return kExitOk;
}

}  // namespace backup_server
