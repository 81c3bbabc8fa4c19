// The local status port (127.0.0.1:1159): every client receives at once, and then about
// every second or as soon as a backup starts or ends, the 8-byte record
//   PROT_STATUS (0xE1E7F5EE) | u32 1 while a backup runs, else 0       (big-endian)
// A failure to open the port is logged at ERROR; the agent then runs without it.
#pragma once

#include <cstdint>
#include <memory>

#include "net/TcpSocket.h"
#include "requests/RunningBackups.h"

namespace agent {

constexpr std::uint16_t kStatusPort = 1159;

// The status thread's body: runs until the running flag drops. Never throws. A client that
// stops reading is dropped after timeoutSeconds.
void runStatusPort(requests::RunningBackups& backups, std::int32_t timeoutSeconds);

// One client's thread body: ends when the running flag drops or the client has gone.
void serveStatusClient(std::shared_ptr<net::TcpSocket> socket, requests::RunningBackups& backups);

}  // namespace agent
