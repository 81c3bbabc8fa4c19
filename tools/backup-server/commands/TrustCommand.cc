// trust STORE agent=NAME: pins NAME to the key of the agent reached now, replacing the key
// it was pinned to (a reinstalled agent's new key is accepted this way, and only this way).
#include "backup-server/commands/Command.h"
#include "backup-server/commands/JsonText.h"
#include "backup-server/commands/StoreArguments.h"
#include "backup-server/store/Store.h"
#include "backup-server/store/StoreAgents.h"
#include "runtime/Exceptions.h"

namespace backup_server {

int trustCommand(CommandContext& context) {
    std::optional<std::string> name;
    if (context.arguments.size() == 2)
        name = valueOf(context.arguments[1], "agent");
    if (context.arguments.size() != 2 || !name)
        throw UsageError("trust needs a STORE and agent=NAME");
    std::string agent = targetAgent(name, context.host);
    Store store(context.arguments[0], Store::Access::write, "trust " + agent, context.keySource);
    auto session = context.openSession();
    session->finish();
    if (session->agentInRecoveryMode()) {
        ZENTRAD_THROW(runtime::AgentException,
                      "The agent is in recovery mode, where it does not prove its key; trust it "
                      "when it runs normally");
    }
    std::optional<AgentRecord> before = store.catalogue().agent(agent);
    std::string fingerprint = keyFingerprint(session->agentPublicKeyPem());
    store.catalogue().trustAgent(agent, fingerprint);
    std::string text = "the agent " + agent + " is pinned to the key " + fingerprint;
    JsonText json;
    json.beginObject().key("agent").value(agent).key("fingerprint").value(fingerprint);
    if (before && !before->fingerprint.empty() && before->fingerprint != fingerprint) {
        text += " (was " + before->fingerprint + ")";
        json.key("previous_fingerprint").value(before->fingerprint);
    }
    context.print(text, json.endObject());
    return kExitOk;
}

}  // namespace backup_server
