// COM initialisation on the emulated host: a per-thread count, as COM keeps one.
#include "platform/Com.h"

#include <atomic>

#include "platform/emulated/snapshot/ComState.h"

namespace platform {
namespace {

thread_local int initializations = 0;
std::atomic<bool> securityInitialized{false};

}  // namespace

HResult coInitializeEx(std::uint32_t) {
    return initializations++ == 0 ? kSOk : kSFalse;
}

HResult coInitializeSecurity(std::int32_t, std::uint32_t, std::uint32_t, std::uint32_t) {
    return securityInitialized.exchange(true) ? kRpcETooLate : kSOk;
}

void coUninitialize() {
    if (initializations > 0)
        --initializations;
}

namespace emulated {

bool comInitializedOnThisThread() {
    return initializations > 0;
}

}  // namespace emulated
}  // namespace platform
