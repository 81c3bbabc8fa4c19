// keys-get [DIR]: fetches the agent's key files, checks that backup.key opens with rsa.key
// and saves both in DIR when given.
#include "backup-server/commands/Command.h"
#include "backup-server/session/AgentKeyFiles.h"
#include "util/FileUtil.h"

namespace backup_server {

int keysGetCommand(CommandContext& context) {
    auto session = context.openSession();
    AgentKeyFiles files = fetchKeys(*session);
    session->finish();
    crypto::KeyMsg backupKey = openBackupKey(files);
    std::string text = "rsa.key: " + std::to_string(files.rsaKey.size()) +
                       " bytes; backup.key: " + std::to_string(files.backupKey.size()) +
                       " bytes; backup.key opens with rsa.key (type " +
                       std::to_string(backupKey.getType()) + ", " +
                       std::to_string(backupKey.key().size() * 8) + "-bit key)";
    JsonText json;
    json.beginObject().key("rsa_key_bytes").value(std::uint64_t{files.rsaKey.size()});
    json.key("backup_key_bytes").value(std::uint64_t{files.backupKey.size()});
    json.key("backup_key_bits").value(std::uint64_t{backupKey.key().size() * 8});
    if (!context.arguments.empty()) {
        std::filesystem::path dir = context.arguments.front();
        std::filesystem::create_directories(dir);
        util::files::writeFileAtomically(dir / "rsa.key", files.rsaKey);
        util::files::writeFileAtomically(dir / "backup.key", files.backupKey);
        text += "\nsaved in " + dir.string();
        json.key("saved_in").value(dir.string());
    }
    context.print(text, json.endObject());
    return kExitOk;
}

}  // namespace backup_server
