#include "net/KeepAliveThread.h"

#include "logging/Logger.h"

namespace net {

void KeepAliveThread::start(ProtocolStream& stream) {
    stop();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = false;
    }
    thread_ = std::thread([this, &stream] { run(&stream); });
}

void KeepAliveThread::stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable())
        thread_.join();
}

void KeepAliveThread::run(ProtocolStream* stream) {
    try {
        std::unique_lock<std::mutex> lock(mutex_);
        while (!stopping_) {
            auto deadline = std::chrono::steady_clock::now() + interval_;
            if (wake_.wait_until(lock, deadline, [this] { return stopping_; }))
                return;
            lock.unlock();
            stream->sendCode(PROT_KEEPALIVE).flush();
            lock.lock();
        }
    } catch (const std::exception& error) {
        // The connection is gone; the request that started us will find out itself.
        logging::logDebug() << "Keep-alive stopped: " << error.what();
    }
}

}  // namespace net
