// The life of one server connection on its own thread: address check (with IP
// authentication), handshake, banner, then requests until the server is finished. Any
// error is logged as "Closing connection: " + text, reaches the server as a log record
// followed by PROT_ERROR, and closes the connection.
#pragma once

#include <memory>

#include "net/ServerConnection.h"
#include "net/TcpSocket.h"
#include "requests/RequestContext.h"

namespace agent {

// Serves the connection to its end and closes the socket. Returns 1 when the server was
// turned away or only initialised the host, else 0. Never throws.
int serveConnection(std::shared_ptr<net::TcpSocket> socket, const net::AdmissionSettings& admission,
                    const requests::RequestContext& context);

// True when a file named after the server's address in an allow directory holds a
// readable key; that key becomes the one the server must present in the handshake.
bool checkServerAddress(net::ServerConnection& connection);

}  // namespace agent
