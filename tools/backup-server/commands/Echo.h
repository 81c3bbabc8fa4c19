#pragma once

#include "backup-server/session/AgentSession.h"

namespace backup_server {

// Sends PROT_REQ_ECHO; true when the reply is exactly PROT_ECHO_REPLY.
bool sendEcho(AgentSession& session);

}  // namespace backup_server
