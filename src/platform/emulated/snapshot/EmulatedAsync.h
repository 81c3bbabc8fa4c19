// An asynchronous operation of the emulated snapshot service. It completes its delay after
// it started (never when it hangs); the completion runs once, on the thread that first
// finds the delay over (QueryStatus or Wait), and gives the operation's result.
#pragma once

#include <chrono>
#include <functional>

#include "platform/Vss.h"
#include "platform/emulated/snapshot/SnapshotConfig.h"

namespace platform::emulated {

class EmulatedAsync : public VssAsync {
  public:
    // completion runs unless the step is declared to fail; onFailure hears the final
    // failure code either way.
    EmulatedAsync(StepBehaviour behaviour, std::function<HResult()> completion,
                  std::function<void(HResult)> onFailure);

    HResult wait(std::uint32_t milliseconds) override;
    HResult cancel() override;
    HResult queryStatus(HResult* status) override;

  private:
    bool due() const;
    HResult finish();

    StepBehaviour behaviour_;
    std::function<HResult()> completion_;
    std::function<void(HResult)> onFailure_;
    std::chrono::steady_clock::time_point started_;
    bool cancelled_ = false;
    bool finished_ = false;
    HResult result_ = kVssSAsyncPending;
};

}  // namespace platform::emulated
