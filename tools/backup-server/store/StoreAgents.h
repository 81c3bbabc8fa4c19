// Which agent a store command means, and whether the agent it reached is that agent.
//
// A store keeps each agent's points under a name the operator gives (agent=NAME; by
// default the host the agent was reached at), pinned on first contact to the SHA-256
// fingerprint of the agent's public key, which the handshake proved: the agent answered a
// challenge only the holder of the private key can read. An agent in recovery mode
// answers none, so its key is not proven.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "backup-server/store/Catalogue.h"

namespace backup_server {

// The agent a session reached: its public key, and whether the handshake proved it (an
// agent in recovery mode proves nothing).
struct ReachedAgent {
    std::string publicKeyPem;
    bool keyProven = false;
};

// The hex SHA-256 of an agent's public key (of its PEM text as this server writes it).
std::string keyFingerprint(const std::string& publicPem);

// Before a backup adds to the store: pins name to the session's key on first contact.
// Throws StoreError when name is pinned to another key (saying how to accept
// the new one) or when the agent's key is not proven.
void admitAgent(Catalogue& catalogue, const std::string& name, const ReachedAgent& reached,
                const std::string& store);

// Before a restore sends a point to the agent reached as target: when target is pinned,
// the session's key must be its key. An agent in recovery mode (key not proven) is sent a
// point only when its source was named explicitly (from-agent=NAME); so is one agent's
// point sent to another, which the caller sees to by choosing the point of target unless
// from-agent=NAME names another.
void checkRestoreTarget(Catalogue& catalogue, const std::string& target, bool explicitSource,
                        const ReachedAgent& reached, const std::string& store);

// The agent a command that reaches an agent means: agent=NAME when given, else the host it
// was reached at. Throws UsageError for an empty name or one with control characters.
std::string targetAgent(const std::optional<std::string>& given, const std::string& host);

// The agent a command that reaches no agent means: name when given, else the one agent of
// the store that has points of the device (a store of one agent needs no name). Throws
// UsageError naming the candidates when that is not one.
std::string chooseAgent(Catalogue& catalogue, const std::optional<std::string>& name,
                        const std::string& deviceID);

// " (it holds points of: Disk 0 Partition 0, ...)" or " (it holds no points)", for
// messages about a device the store holds no point of.
std::string storeDevicesHint(Catalogue& catalogue);

}  // namespace backup_server
