// The request-code table: which request serves which encrypted request code. Adding a
// request is one line in RequestTable.cc.
#pragma once

#include <functional>
#include <map>

#include "net/Codes.h"
#include "net/EncryptedMessage.h"
#include "net/ServerConnection.h"
#include "requests/RequestContext.h"

namespace requests {

using RequestHandler =
    std::function<void(net::ServerConnection&, net::EncryptedMessage&, const RequestContext&)>;
using RequestTable = std::map<net::Code, RequestHandler>;

// Builds the table; called once per connection.
RequestTable buildRequestTable();
// "backup", "restore", ... for the log; "unknown" for a code the table lacks.
const char* requestName(net::Code code);

// The usual handler: construct the request around the message, execute it, destroy it.
template <typename RequestType>
void runRequest(net::ServerConnection& connection, net::EncryptedMessage& message,
                const RequestContext& context) {
    RequestType request(connection, message, context);
    request.execute();
}

}  // namespace requests
