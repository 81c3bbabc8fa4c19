#pragma once

#include <string>
#include <vector>

#include "backup-server/session/AgentSession.h"

namespace backup_server {

// One information item: PROT_SERVER_INFO_ITEM or PROT_SERVER_INFO_VALUE and its text.
struct ServerInfoItem {
    net::Code code = net::PROT_SERVER_INFO_ITEM;
    std::string text;
};

// Sends PROT_REQ_SERVER_INFO, one message per item, then PROT_SERVER_INFO_END. The agent
// does not reply.
void sendServerInfo(AgentSession& session, const std::vector<ServerInfoItem>& items);

}  // namespace backup_server
