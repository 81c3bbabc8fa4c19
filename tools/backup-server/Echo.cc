#include "backup-server/Echo.h"

#include "backup-server/Command.h"

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
    *context.out << (answered ? "echo answered\n" : "echo: unexpected reply\n");
    return answered ? 0 : 1;
}

}  // namespace backup_server
