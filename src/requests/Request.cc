#include "requests/Request.h"

#include "logging/Logger.h"
#include "requests/RequestTable.h"
#include "runtime/Exceptions.h"
#include "runtime/RunState.h"

namespace requests {

namespace {

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
