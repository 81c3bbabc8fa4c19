// The base of the agent's blocking IPv4 stream sockets: owns one socket handle and closes
// it once. Not thread-safe: a socket belongs to one thread at a time (threads a request
// starts may send on its connection while the owner waits for them).
#pragma once

#include "platform/Socket.h"

namespace net {

class Socket {
  public:
    // Starts Winsock on first use and creates a stream socket. Throws SocketException with
    // the error text when either fails.
    Socket();
    // Takes ownership of a handle from accept or connect (may be invalid).
    explicit Socket(platform::SocketHandle adopted);
    virtual ~Socket();
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;

    // Closes the handle if it is valid and not yet closed; errors are ignored. The handle
    // value itself stays as it was.
    void close();
    bool isClosed() const { return closed_; }
    platform::SocketHandle handle() const { return handle_; }

    // Waits up to the given time for the socket to become readable (for a listener: for a
    // connection to arrive). True when readable, false on time-out; throws on failure.
    bool waitReadable(int seconds, int microseconds = 0);

    // The local port (host byte order), 0 when unknown.
    std::uint16_t localPort() const;

  private:
    platform::SocketHandle handle_;
    bool closed_ = false;
};

}  // namespace net
