#include "runtime/RunState.h"

namespace runtime {

std::atomic<std::int32_t>& runningFlag() {
    static std::atomic<std::int32_t> flag{1};
    return flag;
}

std::atomic<std::int32_t>& stoppedFlag() {
    static std::atomic<std::int32_t> flag{0};
    return flag;
}

}  // namespace runtime
