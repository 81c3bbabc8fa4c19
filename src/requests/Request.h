// The base of every request, and the dispatcher that serves one authenticated connection:
// each request arrives as an encrypted message whose first field is its code; the matching
// request is built around the message, executed to completion on the connection's thread
// and destroyed before the next code is read.
#pragma once

#include "net/EncryptedMessage.h"
#include "net/ServerConnection.h"
#include "requests/RequestContext.h"

namespace requests {

class Request {
  public:
    // The message is positioned after the request code; replies are written into it.
    Request(net::ServerConnection& connection, net::EncryptedMessage& message,
            const RequestContext& context)
        : connection_(connection), message_(message), context_(context) {}
    virtual ~Request() = default;
    Request(const Request&) = delete;
    Request& operator=(const Request&) = delete;

    virtual void execute() {}

    // Serves requests until the server sends PROT_FINISHED. Every error (protocol, envelope,
    // or a request's own) leaves as an exception; the caller ends the connection.
    static void handleRequests(net::ServerConnection& connection, const RequestContext& context);

  protected:
    net::ServerConnection& connection() const { return connection_; }
    net::EncryptedMessage& message() const { return message_; }
    const RequestContext& context() const { return context_; }

  private:
    net::ServerConnection& connection_;
    net::EncryptedMessage& message_;
    const RequestContext& context_;
};

}  // namespace requests
