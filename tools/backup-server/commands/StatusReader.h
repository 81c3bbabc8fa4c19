#pragma once

#include <cstdint>
#include <memory>

#include "net/ProtocolStream.h"
#include "net/TcpSocket.h"

namespace backup_server {

struct StatusRecord {
    net::Code code = 0;         // PROT_STATUS
    std::uint32_t running = 0;  // 1 while a backup runs
};

// A client of the agent's local status port.
class StatusReader {
  public:
    static constexpr std::uint16_t kStandardPort = 1159;

    // Connects to the status port on this machine; waits last at most timeoutSeconds.
    StatusReader(std::uint16_t port, std::int32_t timeoutSeconds);
    // The next 8-byte record.
    StatusRecord next();

  private:
    std::unique_ptr<net::TcpSocket> socket_;
    net::ProtocolStream stream_;
};

}  // namespace backup_server
