// Sends PROT_KEEPALIVE every 10 s on a connection while a long local operation runs, so
// the server does not give up on a quiet agent. The thread has no network logger, so its
// keep-alives carry no log records. Stopped and joined by stop() or the destructor.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "net/ProtocolStream.h"

namespace net {

class KeepAliveThread {
  public:
    static constexpr std::chrono::seconds kInterval{10};

    explicit KeepAliveThread(std::chrono::milliseconds interval = kInterval)
        : interval_(interval) {}
    ~KeepAliveThread() { stop(); }
    KeepAliveThread(const KeepAliveThread&) = delete;
    KeepAliveThread& operator=(const KeepAliveThread&) = delete;

    // Starts the thread; the stream must outlive it (until stop returns).
    void start(ProtocolStream& stream);
    // Sets the stop flag, wakes the thread and joins it. Safe to call more than once.
    void stop();

  private:
    void run(ProtocolStream* stream);

    std::chrono::milliseconds interval_;
    std::mutex mutex_;  // guards stopping_
    std::condition_variable wake_;
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace net
