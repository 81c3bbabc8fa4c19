// init STORE and init-keys: the two things backup-server makes only when asked.
#include "backup-server/commands/Command.h"
#include "backup-server/commands/JsonText.h"
#include "backup-server/store/Store.h"

namespace backup_server {

int initCommand(CommandContext& context) {
    std::vector<std::string> words = context.arguments;
    KeyringOptions keys = parseKeyringOptions(words, context.keySource);
    if (context.noEncryption)
        keys.encrypt = false;
    if (words.size() != 1)
        throw UsageError("init needs exactly one STORE");
    createStore(words[0], keys);
    JsonText json;
    json.beginObject().key("store").value(words[0]).key("encrypted").value(keys.encrypt);
    context.print("initialised the " + std::string(keys.encrypt ? "encrypted" : "unencrypted") +
                      " store " + words[0],
                  json.endObject());
    return kExitOk;
}

int initKeysCommand(CommandContext& context) {
    if (!context.arguments.empty())
        throw UsageError("init-keys takes no arguments (the folder is --keys DIR)");
    ServerKeys keys = ServerKeys::create(context.keysDir);
    // The public key, ready for an agent's allow directory.
    if (!context.json) {
        *context.out << keys.publicPem();
        return kExitOk;
    }
    JsonText json;
    json.beginObject().key("keys").value(context.keysDir.string());
    *context.out << json.key("public_key").value(keys.publicPem()).endObject().text() << "\n";
    return kExitOk;
}

}  // namespace backup_server
