// trust STORE agent=NAME: pins NAME to the key of the agent reached now, replacing the key
// it was pinned to (a reinstalled agent's new key is accepted this way, and only this way).
#include "backup-server/Command.h"
#include "backup-server/Store.h"
#include "backup-server/StoreAgents.h"
#include "backup-server/StoreArguments.h"
#include "runtime/Exceptions.h"

namespace backup_server {

int trustCommand(CommandContext& context) {
    std::optional<std::string> name;
    if (context.arguments.size() == 2)
        name = valueOf(context.arguments[1], "agent");
    if (context.arguments.size() != 2 || !name)
        throw UsageError("trust needs a STORE and agent=NAME");
    std::string agent = targetAgent(name, context.host);
    Store store(context.arguments[0], Store::Access::write, "trust " + agent);
    auto session = context.openSession();
    session->finish();
    if (session->agentInRecoveryMode()) {
        ZENTRAD_THROW(runtime::AgentException,
                      "The agent is in recovery mode, where it does not prove its key; trust it "
                      "when it runs normally");
    }
    std::optional<AgentRecord> before = store.catalogue().agent(agent);
    std::string fingerprint = agentFingerprint(*session);
    store.catalogue().trustAgent(agent, fingerprint);
    *context.out << "the agent " << agent << " is pinned to the key " << fingerprint;
    if (before && !before->fingerprint.empty() && before->fingerprint != fingerprint)
        *context.out << " (was " << before->fingerprint << ")";
    *context.out << "\n";
    return kExitOk;
}

}  // namespace backup_server
