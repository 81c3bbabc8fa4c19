// Commands of the backup-server tool. Each command lives in its own file and is listed
// once in CommandTable.cc.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "backup-server/AgentSession.h"

namespace backup_server {

struct CommandContext {
    std::filesystem::path keysDir;
    std::string host = "127.0.0.1";
    std::uint16_t port = 1167;
    std::vector<std::string> arguments;  // after the command name
    std::ostream* out = nullptr;

    ServerKeys keys() const { return ServerKeys::loadOrCreate(keysDir); }
    // Connects and authenticates, printing the agent's log records as they arrive. Throws
    // winutil::AgentException when the agent turns the server away.
    std::unique_ptr<AgentSession> openSession() const;
};

struct CommandInfo {
    const char* name;
    const char* usage;
    int (*run)(CommandContext& context);
};

const std::vector<CommandInfo>& commandTable();

// The commands; each returns the tool's exit code.
int publicKeyCommand(CommandContext& context);
int handshakeCommand(CommandContext& context);
int initializeHostCommand(CommandContext& context);
int echoCommand(CommandContext& context);
int serverInfoCommand(CommandContext& context);
int keysGetCommand(CommandContext& context);
int allowListCommand(CommandContext& context);
int statusCommand(CommandContext& context);
int partitionListCommand(CommandContext& context);
int partitionBackupCommand(CommandContext& context);
int partitionRestoreCommand(CommandContext& context);
int restoreCommand(CommandContext& context);
int backupCommand(CommandContext& context);
int restoreFilesCommand(CommandContext& context);

}  // namespace backup_server
