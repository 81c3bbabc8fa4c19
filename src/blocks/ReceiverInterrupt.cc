#include "blocks/ReceiverInterrupt.h"

namespace blocks {

ReceiverInterrupt::~ReceiverInterrupt() {
    if (socket_ != nullptr && triggered())
        socket_->interruptReceive(false);
}

void ReceiverInterrupt::trigger() noexcept {
    triggered_.store(true);
    if (socket_ != nullptr)
        socket_->interruptReceive(true);
}

}  // namespace blocks
