#include "yin/Stage.h"

#include <exception>

#include "logging/Logger.h"
#include "yin/Exceptions.h"

namespace yin {

bool Latch::wait() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return open_ || cancelled_; });
    return !cancelled_;
}

void Latch::open() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (cancelled_)
        return;
    open_ = true;
    changed_.notify_all();
}

void Latch::cancel() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (open_)
        return;
    cancelled_ = true;
    changed_.notify_all();
}

bool Latch::isOpen() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return open_;
}

void RequestThread::installNetLogger() const {
    logging::Logger::get().setNetLogger(netLogger_);
}

void Stage::operator()() noexcept {
    if (!latch_->wait()) {
        // The pipeline was never completed: nothing may run, and nobody may wait on us.
        try {
            abort(true);
        } catch (...) {
            // Aborting only flags the stage and aborts its channels; nothing has run, so
            // there is nothing of this stage's to report.
        }
        return;
    }
    finish(runLoop());
    // The thread ends here: the peer logger a stage installed is let go while the thread
    // can still do so safely.
    logging::Logger::get().setNetLogger(nullptr);
}

Stage::Ending Stage::runLoop() noexcept {
    try {
        started();
        // The channels block and wake the stages; yielding after every item would cost a
        // system call per block and stage.
        while (!(closing_ && isDone()))
            step();
        return Ending::kStopped;
    } catch (const EndOfStreamException&) {
        return Ending::kEndOfStream;
    } catch (const AbortException&) {
        // Another stage failed and logged why; this one only stops.
    } catch (const std::exception& e) {
        logging::logError() << names_.caughtException << e.what();
    } catch (...) {
        logging::logError() << names_.caughtUnknown;
    }
    return Ending::kAborted;
}

void Stage::finish(Ending ending) noexcept {
    try {
        if (ending == Ending::kEndOfStream)
            reachedEnd_ = true;
        if (ending == Ending::kStopped)
            abandonInput();
        if (ending == Ending::kAborted)
            abort(true);
        done();
    } catch (const std::exception& e) {
        logging::logError() << names_.caughtException << e.what();
    } catch (...) {
        logging::logError() << names_.caughtUnknown;
    }
    try {
        close(true);
    } catch (...) {
        // Closing only takes a channel's lock; nothing is left to report to.
    }
}

}  // namespace yin
