#include "platform/emulated/snapshot/EmulatedAsync.h"

#include <thread>

namespace platform::emulated {

EmulatedAsync::EmulatedAsync(StepBehaviour behaviour, std::function<HResult()> completion,
                             std::function<void(HResult)> onFailure)
    : behaviour_(behaviour),
      completion_(std::move(completion)),
      onFailure_(std::move(onFailure)),
      started_(std::chrono::steady_clock::now()) {}

bool EmulatedAsync::due() const {
    if (behaviour_.hang)
        return false;
    return std::chrono::steady_clock::now() - started_ >=
           std::chrono::milliseconds(behaviour_.delayMs);
}

HResult EmulatedAsync::finish() {
    if (!finished_) {
        finished_ = true;
        HResult result = failed(behaviour_.failure) ? behaviour_.failure : completion_();
        result_ = failed(result) ? result : kVssSAsyncFinished;
        if (failed(result_))
            onFailure_(result_);
    }
    return result_;
}

HResult EmulatedAsync::wait(std::uint32_t milliseconds) {
    auto limit = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    while (!cancelled_ && !due()) {
        if (milliseconds != kInfinite && std::chrono::steady_clock::now() >= limit)
            return kSOk;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (!cancelled_)
        finish();
    return kSOk;
}

HResult EmulatedAsync::cancel() {
    if (finished_)
        return kVssSAsyncFinished;
    cancelled_ = true;
    return kSOk;
}

HResult EmulatedAsync::queryStatus(HResult* status) {
    if (status == nullptr)
        return kEPointer;
    if (cancelled_)
        *status = kVssSAsyncCancelled;
    else if (!due())
        *status = kVssSAsyncPending;
    else
        *status = finish();
    return kSOk;
}

}  // namespace platform::emulated
