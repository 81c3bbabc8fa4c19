// The server listener: bound to all interfaces on the configured port, it accepts the
// backup server's connections and gives each its own thread in the run function's group.
#pragma once

#include <cstdint>
#include <memory>

#include "net/AdmissionSettings.h"
#include "net/TcpListener.h"
#include "requests/RequestContext.h"
#include "runtime/ThreadGroup.h"

namespace agent {

// Opens the listener on port (0 picks a free one). In recovery mode a failure is retried every 2 s
// (with the WARN "Failed to start listening socket.  Retrying..") until it succeeds or the agent
// stops; otherwise the failure is thrown.
std::shared_ptr<net::TcpListener> openServerListener(std::uint16_t port, bool recovery);

// Accepts connections until the running flag drops (noticed within 3 s), then closes the
// listener. Errors from waiting, accepting or starting a thread end the loop as exceptions.
// Each connection is admitted with the given settings and serves requests in the context.
void runAcceptLoop(net::TcpListener& listener, runtime::ThreadGroup& threads,
                   const net::AdmissionSettings& admission,
                   const requests::RequestContext& context);

}  // namespace agent
