#pragma once

#include <memory>
#include <string>

#include "backup-server/session/AgentSession.h"
#include "crypto/KeyMsg.h"

namespace backup_server {

struct AgentKeyFiles {
    std::string rsaKey;     // the agent's rsa.key (PEM)
    std::string backupKey;  // the agent's backup.key (binary)
};

// Sends PROT_REQ_KEYS_GET and reads the PROT_KEYS reply.
AgentKeyFiles fetchKeys(AgentSession& session);

// Opens backup.key with rsa.key, as the server does to read backup data without the
// agent. Throws runtime::AgentException or util::UtilException when they do not fit.
crypto::KeyMsg openBackupKey(const AgentKeyFiles& files);

}  // namespace backup_server
