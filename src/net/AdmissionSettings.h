// What the agent's side of a connection takes from the agent's options to decide whether a
// server is admitted and to prove itself to it.
#pragma once

#include <cstdint>
#include <filesystem>

#include "crypto/KeyStore.h"

namespace net {

struct AdmissionSettings {
    // Serve any server that holds a key, without checking its address or its key.
    bool recovery = false;
    // The server's address chooses the one key it must present.
    bool ipAuthentication = false;
    // The handshake must finish within twice this many seconds.
    std::int32_t timeoutSeconds = 160;
    // Files named after server addresses, each holding that server's public key: the
    // configured ones first, then those the server list request wrote.
    std::filesystem::path serverAllowDir;
    std::filesystem::path backupAllowDir;
    // The agent's own key pair and backup session key, and the session key size used when
    // they must be made afresh.
    crypto::encryption::KeyFilePaths keyFiles;
    std::uint16_t sessionKeyBits = 128;
    // Protocol version 2: accept a server's offer of it; refuse servers that end up in
    // version 1 (recovery mode included) when refuseProtocol1 is set.
    bool acceptProtocol2 = true;
    bool refuseProtocol1 = false;
};

}  // namespace net
