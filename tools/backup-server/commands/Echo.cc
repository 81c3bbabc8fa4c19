#include "backup-server/commands/Echo.h"

#include "backup-server/commands/Command.h"

namespace backup_server {

bool sendEcho(AgentSession& session) {
    auto request = session.newMessage();
    request->write32(net::PROT_REQ_ECHO);
    request->send();
    auto reply = session.receiveMessage();
    return reply->remaining() == 4 && reply->read32() == net::PROT_ECHO_REPLY;
}

int echoCommand(CommandContext& context) {
    auto session = context.openSession();
    bool answered = sendEcho(*session);
    session->finish();
    context.print(answered ? "echo answered" : "echo: unexpected reply",
                  JsonText().beginObject().key("answered").value(answered).endObject());
    return answered ? kExitOk : kExitFailed;
}

}  // namespace backup_server
