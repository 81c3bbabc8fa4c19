#pragma once

#include <string>
#include <vector>

#include "backup-server/session/AgentSession.h"

namespace backup_server {

struct AllowEntry {
    std::string address;    // numeric IP address of the server
    std::string publicKey;  // its PEM public key
};

// Replaces the agent's dynamic allow list and waits for PROT_AUTH_SERVER_LIST_DONE.
void replaceAllowList(AgentSession& session, const std::vector<AllowEntry>& entries);

}  // namespace backup_server
