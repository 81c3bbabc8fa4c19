// init STORE and init-keys: the two things backup-server makes only when asked.
#include "backup-server/Command.h"
#include "backup-server/Store.h"

namespace backup_server {

int initCommand(CommandContext& context) {
    std::vector<std::string> words = context.arguments;
    KeyringOptions keys = parseKeyringOptions(words, context.keySource);
    if (context.noEncryption)
        keys.encrypt = false;
    if (words.size() != 1)
        throw UsageError("init needs exactly one STORE");
    createStore(words[0], keys);
    *context.out << "initialised the " << (keys.encrypt ? "encrypted" : "unencrypted") << " store "
                 << words[0] << "\n";
    return kExitOk;
}

int initKeysCommand(CommandContext& context) {
    if (!context.arguments.empty())
        throw UsageError("init-keys takes no arguments (the folder is --keys DIR)");
    ServerKeys keys = ServerKeys::create(context.keysDir);
    // The public key, ready for an agent's allow directory.
    *context.out << keys.publicPem();
    return kExitOk;
}

}  // namespace backup_server
