#include "backup-server/commands/AllowList.h"

#include "backup-server/commands/Command.h"
#include "crypto/RsaKeyFiles.h"
#include "runtime/Exceptions.h"
#include "util/FileUtil.h"

namespace backup_server {

void replaceAllowList(AgentSession& session, const std::vector<AllowEntry>& entries) {
    auto request = session.newMessage();
    request->write32(net::PROT_REQ_AUTH_SERVER_LIST);
    request->write32(static_cast<std::uint32_t>(entries.size()));
    for (const auto& entry : entries)
        request->writeString(entry.address).writeString(entry.publicKey);
    request->write32(net::PROT_AUTH_SERVER_LIST);
    request->send();
    session.readCodeExpect(net::PROT_AUTH_SERVER_LIST_DONE);
}

int allowListCommand(CommandContext& context) {
    std::vector<AllowEntry> entries;
    for (const auto& argument : context.arguments) {
        auto equals = argument.find('=');
        if (equals == std::string::npos) {
            throw UsageError("allow-list entries are IP=KEYFILE, not (" + argument + ")");
        }
        std::string key = util::files::readFile(argument.substr(equals + 1),
                                                crypto::encryption::kMaxKeyFileBytes);
        if (key.empty())
            ZENTRAD_THROW(runtime::AgentException,
                          "cannot read key file (" + argument.substr(equals + 1) + ")");
        entries.push_back({argument.substr(0, equals), key});
    }
    auto session = context.openSession();
    replaceAllowList(*session, entries);
    session->finish();
    context.print(
        "allow list replaced (" + std::to_string(entries.size()) + " servers)",
        JsonText().beginObject().key("servers").value(std::uint64_t{entries.size()}).endObject());
    return kExitOk;
}

}  // namespace backup_server
