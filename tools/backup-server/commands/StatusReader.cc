#include "backup-server/commands/StatusReader.h"

#include <string>

#include "backup-server/commands/Command.h"
#include "backup-server/commands/JsonText.h"
#include "backup-server/commands/OperatorText.h"
#include "backup-server/commands/StoreArguments.h"
#include "net/SocketException.h"

namespace backup_server {

StatusReader::StatusReader(std::uint16_t port, std::int32_t timeoutSeconds)
    : socket_(net::TcpSocket::connectTo("127.0.0.1", port, timeoutSeconds)),
      stream_(socket_.get()) {}

StatusRecord StatusReader::next() {
    StatusRecord record;
    record.code = stream_.read32();
    record.running = stream_.read32();
    return record;
}

int statusCommand(CommandContext& context) {
    const std::vector<std::string>& words = context.arguments;
    if (!words.empty() && words.front().find_first_not_of("0123456789") != std::string::npos)
        return storeStatusCommand(context);
    if (words.size() > 1)
        throw UsageError("status takes one COUNT");
    std::uint64_t count = words.empty() ? 1 : wholeNumber(words.front(), words.front());
    std::unique_ptr<StatusReader> reader;
    try {
        reader = std::make_unique<StatusReader>(context.port, context.timeoutSeconds);
    } catch (const net::SocketException& error) {
        throw AgentUnreachable("cannot connect to the agent's status port 127.0.0.1:" +
                               std::to_string(context.port) + ": " + socketReason(error.message()));
    }
    JsonText json;
    json.beginArray();
    for (std::uint64_t i = 0; i < count; ++i) {
        StatusRecord record = reader->next();
        if (record.code != net::PROT_STATUS) {
            context.messages()
                << "port " << context.port << " is not the agent's status port: "
                << (record.code == net::PROT_VERSION
                        ? std::string("it answered as the agent's server port does")
                        : "it sent code 0x" + net::hexCode(record.code))
                << " (status reads the local status port, 1159 unless --port names another)\n";
            return kExitFailed;
        }
        if (context.json) {
            json.beginObject().key("backup_running").value(record.running != 0).endObject();
        } else {
            *context.out << (record.running != 0 ? "backup running\n" : "no backup running\n")
                         << std::flush;
        }
    }
    if (context.json)
        *context.out << json.endArray().text() << "\n";
    return kExitOk;
}

}  // namespace backup_server
