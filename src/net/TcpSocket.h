// A connected stream socket: sends whole buffers and receives exactly n bytes, each wait
// for more data bounded by the socket's time-out (read afresh for every wait).
//
// Receives go through a buffer of kReceiveBufferBytes: a short read takes whatever the
// kernel holds (up to that much) in one call and later reads are served from it, so a
// stream of small records costs a system call per buffer, not a wait and a receive per
// record. Bytes buffered and not yet taken belong to the next receive, whoever makes it;
// the socket must therefore be read only through receiveAll.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "net/Socket.h"

namespace net {

class TcpSocket : public Socket {
  public:
    using Deadline = std::chrono::steady_clock::time_point;

    // A new, unconnected socket whose waits for progress last at most timeoutSeconds. The tag
    // keeps a bare handle (an int on POSIX) from being taken for a time-out.
    struct Unconnected {};
    TcpSocket(Unconnected, std::int32_t timeoutSeconds) : timeoutSeconds_(timeoutSeconds) {}
    // Adopts a connected handle (from accept).
    TcpSocket(platform::SocketHandle adopted, std::int32_t timeoutSeconds)
        : Socket(adopted), timeoutSeconds_(timeoutSeconds) {}

    // The longest wait, in seconds, for a send or receive to make progress. May change from
    // any thread; the next wait uses the new value.
    void setTimeout(std::int32_t seconds) { timeoutSeconds_.store(seconds); }
    std::int32_t timeout() const { return timeoutSeconds_.load(); }

    // Connects to host (name or numeric IPv4 address) and port; the socket's waits last at
    // most timeoutSeconds. Throws SocketException.
    static std::unique_ptr<TcpSocket> connectTo(const std::string& host, std::uint16_t port,
                                                std::int32_t timeoutSeconds);

    // Sends every byte, in pieces of at most 64 KiB. Each wait for room in the send buffer
    // is bounded like a receive's wait (time-out, deadline, stop request), so a peer that
    // stops reading cannot hold the sender. Throws SocketException with the error text when
    // a send fails, or on time-out; runtime::ShutdownException on stop.
    void sendAll(const void* data, std::int64_t length);

    // Receives exactly length bytes or throws SocketException (time-out, peer closed,
    // receive error). Throws runtime::ShutdownException when the agent's running flag
    // drops while waiting, so a stop never waits for a silent peer's time-out.
    std::int64_t receiveAll(void* buffer, std::int64_t length);

    // Bounds every later receive and send by an absolute deadline as well (for exchanges that must
    // finish in a fixed time, however the peer trickles); nullopt removes it.
    void setDeadline(std::optional<Deadline> deadline) { deadline_ = deadline; }

    // The peer's numeric address, or "" when it cannot be determined.
    std::string getPeerAddress() const;

    // Ends the sending direction; the peer reads end-of-stream after what was sent.
    void shutdownSend();

    // From any thread: while set, every receive fails with SocketException "Receiving
    // interrupted" within a second, so a pipeline that is torn down need not wait for a
    // silent peer's time-out in the thread that reads the connection.
    void interruptReceive(bool interrupted) { interrupted_.store(interrupted); }

    // Received from the kernel but not yet taken by a receive.
    std::size_t bufferedBytes() const { return bufferEnd_ - bufferStart_; }

    static constexpr std::size_t kReceiveBufferBytes = 256 * 1024;

  private:
    enum class Direction { receive, send };

    // Receives between 1 and most bytes into `into`, waiting (bounded as receiveAll's waits
    // are) only when nothing has arrived. received and wanted describe the caller's progress
    // for the time-out's text.
    std::int64_t receiveSome(char* into, std::int64_t most, std::int64_t received,
                             std::int64_t wanted);

    // Waits until readable; throws on interruption, time-out, deadline or stop.
    void waitForData(std::int32_t timeoutSeconds, std::int64_t received, std::int64_t wanted);
    // Waits until a send can take bytes; throws on time-out, deadline or stop.
    void waitForRoom(std::int32_t timeoutSeconds, std::int64_t sent, std::int64_t wanted);
    void waitUntilReady(Direction direction, std::int32_t timeoutSeconds,
                        const std::function<std::string()>& progress);

    std::atomic<std::int32_t> timeoutSeconds_;
    std::optional<Deadline> deadline_;
    std::atomic<bool> interrupted_{false};
    // Allocated by the first receive that needs it; [bufferStart_, bufferEnd_) is unread.
    std::unique_ptr<char[]> buffer_;
    std::size_t bufferStart_ = 0;
    std::size_t bufferEnd_ = 0;
};

}  // namespace net
