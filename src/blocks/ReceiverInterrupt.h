// Lets a failing restore stage stop the stage that reads the connection. That stage may
// sit in a socket read waiting for a server that has nothing more to say; the channel
// abort cannot reach it there, so the failing stage interrupts the socket's receives as
// well, and the request ends the connection instead of waiting out the time-out.
//
// trigger() and triggered() may be called from any thread. The destructor lifts the
// interrupt from the socket again.
#pragma once

#include <atomic>

#include "net/TcpSocket.h"

namespace blocks {

class ReceiverInterrupt {
  public:
    // socket may be null (nothing to interrupt).
    explicit ReceiverInterrupt(net::TcpSocket* socket) : socket_(socket) {}
    ~ReceiverInterrupt();
    ReceiverInterrupt(const ReceiverInterrupt&) = delete;
    ReceiverInterrupt& operator=(const ReceiverInterrupt&) = delete;

    void trigger() noexcept;
    bool triggered() const noexcept { return triggered_.load(); }

  private:
    net::TcpSocket* socket_;
    std::atomic<bool> triggered_{false};
};

}  // namespace blocks
