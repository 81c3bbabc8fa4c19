#include "requests/Request.h"

#include <functional>
#include <map>

#include "logging/Logger.h"
#include "requests/AuthServerListRequest.h"
#include "requests/BackupRequest.h"
#include "requests/EchoRequest.h"
#include "requests/FileRestoreRequest.h"
#include "requests/KeysGetRequest.h"
#include "requests/PartitionBackupRequest.h"
#include "requests/PartitionListRequest.h"
#include "requests/PartitionRestoreRequest.h"
#include "requests/RestoreRequest.h"
#include "requests/ServerInfoRequest.h"
#include "runtime/Exceptions.h"
#include "runtime/RunState.h"

namespace requests {
namespace {

using RequestHandler =
    std::function<void(net::ServerConnection&, net::EncryptedMessage&, const RequestContext&)>;
using RequestTable = std::map<net::Code, RequestHandler>;

// The usual handler: construct the request around the message, execute it, destroy it.
template <typename RequestType>
void runRequest(net::ServerConnection& connection, net::EncryptedMessage& message,
                const RequestContext& context) {
    RequestType request(connection, message, context);
    request.execute();
}

// Which request serves which encrypted request code: adding a request is one line here.
// Built once per connection.
RequestTable buildRequestTable() {
    return RequestTable{
        {net::PROT_REQ_SERVER_INFO, runRequest<ServerInfoRequest>},
        {net::PROT_REQ_AUTH_SERVER_LIST, runRequest<AuthServerListRequest>},
        {net::PROT_REQ_ECHO, runRequest<EchoRequest>},
        {net::PROT_REQ_KEYS_GET, runRequest<KeysGetRequest>},
        {net::PROT_REQ_BACKUP, runRequest<BackupRequest>},
        {net::PROT_REQ_FILE_RESTORE, runRequest<FileRestoreRequest>},
        {net::PROT_REQ_PARTITION_BACKUP, runRequest<PartitionBackupRequest>},
        {net::PROT_REQ_PARTITION_RESTORE, runRequest<PartitionRestoreRequest>},
        {net::PROT_REQ_PARTITION_LIST, runRequest<PartitionListRequest>},
        {net::PROT_REQ_RESTORE, runRequest<RestoreRequest>},
    };
}

// "backup", "restore", ... for the log; "unknown" for a code the table lacks.
const char* requestName(net::Code code) {
    static const std::map<net::Code, const char*> names = {
        {net::PROT_REQ_SERVER_INFO, "server information"},
        {net::PROT_REQ_AUTH_SERVER_LIST, "allow list"},
        {net::PROT_REQ_ECHO, "echo"},
        {net::PROT_REQ_KEYS_GET, "keys"},
        {net::PROT_REQ_BACKUP, "backup"},
        {net::PROT_REQ_FILE_RESTORE, "file restore"},
        {net::PROT_REQ_PARTITION_BACKUP, "partition-table backup"},
        {net::PROT_REQ_PARTITION_RESTORE, "partition-table restore"},
        {net::PROT_REQ_PARTITION_LIST, "partition list"},
        {net::PROT_REQ_RESTORE, "restore"},
    };
    auto name = names.find(code);
    return name == names.end() ? "unknown" : name->second;
}

void serveEncrypted(net::ServerConnection& connection, const RequestTable& table,
                    const RequestContext& context) {
    net::EncryptedMessage message(connection, connection.protocolKey());
    message.receive();
    // Version 2 binds a request's block records to the message that carried it.
    if (crypto::SecureChannel* channel = connection.channel())
        channel->setRequest(message.sequence());
    net::Code code = message.read32();
    auto handler = table.find(code);
    if (handler == table.end()) {
        ZENTRAD_THROW(
            runtime::AgentException,
            "Protocol error.  Unrecognized encrypted request code (0x" + net::hexCode(code) + ")");
    }
    logging::logInfo() << "Request: " << requestName(code) << " from "
                       << connection.socket()->getPeerAddress();
    handler->second(connection, message, context);
}

}  // namespace

void Request::handleRequests(net::ServerConnection& connection, const RequestContext& context) {
    const RequestTable table = buildRequestTable();
    for (net::Code code = connection.readCode();; code = connection.readCode()) {
        ZENTRAD_CHECK_RUNNING();
        if (code == net::PROT_ENCRYPTED) {
            serveEncrypted(connection, table, context);
        } else if (code == net::PROT_FINISHED) {
            logging::logInfo() << "Requests finished successfully, closing connection";
            return;
        }
        // Any other plain code between requests (a keep-alive, say) is skipped.
    }
}

}  // namespace requests
