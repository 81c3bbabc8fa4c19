#include "backup-server/commands/ServerInfo.h"

#include "backup-server/commands/Command.h"

namespace backup_server {

void sendServerInfo(AgentSession& session, const std::vector<ServerInfoItem>& items) {
    auto request = session.newMessage();
    request->write32(net::PROT_REQ_SERVER_INFO);
    request->send();
    for (const auto& item : items) {
        auto message = session.newMessage();
        message->write32(item.code).writeString(item.text);
        message->send();
    }
    auto end = session.newMessage();
    end->write32(net::PROT_SERVER_INFO_END);
    end->send();
}

int serverInfoCommand(CommandContext& context) {
    std::vector<ServerInfoItem> items;
    for (const auto& argument : context.arguments) {
        auto equals = argument.find('=');
        items.push_back({net::PROT_SERVER_INFO_ITEM, argument.substr(0, equals)});
        if (equals != std::string::npos)
            items.push_back({net::PROT_SERVER_INFO_VALUE, argument.substr(equals + 1)});
    }
    auto session = context.openSession();
    sendServerInfo(*session, items);
    session->finish();
    context.print(
        "server information sent (" + std::to_string(items.size()) + " items)",
        JsonText().beginObject().key("items").value(std::uint64_t{items.size()}).endObject());
    return kExitOk;
}

}  // namespace backup_server
