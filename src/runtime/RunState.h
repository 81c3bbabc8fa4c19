// The process-wide running and stopped flags. Stopping is requested only by clearing the
// running flag; long operations test it at fixed points and give up with a
// ShutdownException. The run function sets the stopped flag as its very last step.
#pragma once

#include <atomic>
#include <cstdint>

#include "runtime/Exceptions.h"

namespace runtime {

std::atomic<std::int32_t>& runningFlag();
std::atomic<std::int32_t>& stoppedFlag();

inline bool isRunning() {
    return runningFlag().load(std::memory_order_relaxed) != 0;
}

// Throws ShutdownException when the running flag is 0; the caller's signature and line
// are recorded.
#define ZENTRAD_CHECK_RUNNING()        \
    do {                               \
        if (!::runtime::isRunning()) { \
            ZENTRAD_THROW_SHUTDOWN();  \
        }                              \
    } while (false)
#define ZENTRAD_THROW_SHUTDOWN() \
    throw ::runtime::ShutdownException(ZENTRAD_FUNCTION_SIGNATURE, __LINE__)

}  // namespace runtime
