#include "blocks/InflateStage.h"

#include "logging/Logger.h"
#include "yin/StageGuard.h"

namespace blocks {

InflateStage::InflateStage(std::shared_ptr<BlockWorkers> group, yin::Latch& latch,
                           std::shared_ptr<logging::NetLogger> netLogger,
                           ReceiverInterrupt& interrupt, std::shared_ptr<BlockBufferPool> buffers)
    : yin::RequestThread(std::move(netLogger)),
      yin::OrderedWorker<BlockPtr>(std::move(group), latch),
      interrupt_(interrupt),
      buffers_(std::move(buffers)) {}

void InflateStage::transform(BlockPtr& block) {
    yin::guardStage(
        {"Error while decompressing blocks: ", "Unknown exception while decompressing blocks"},
        failed_,
        [&] {
            if (!block->compressed())
                return;
            bool pooled = buffers_ != nullptr && buffers_->capacity() >= block->size();
            block->inflate(stream_, pooled ? buffers_->take() : nullptr);
        },
        [this] { interrupt_.trigger(); });
}

}  // namespace blocks
