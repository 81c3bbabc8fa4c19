// init STORE and init-keys: the two things backup-server makes only when asked.
#include "backup-server/Command.h"
#include "backup-server/Store.h"

namespace backup_server {

int initCommand(CommandContext& context) {
    if (context.arguments.size() != 1)
        throw UsageError("init needs exactly one STORE");
    createStore(context.arguments[0]);
    *context.out << "initialised the store " << context.arguments[0] << "\n";
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
