#include "blocks/InflateStage.h"

#include <string>

#include "logging/Logger.h"
#include "runtime/Exceptions.h"
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
            if (block->compressed()) {
                bool pooled = buffers_ != nullptr && buffers_->capacity() >= block->size();
                block->inflate(stream_, pooled ? buffers_->take() : nullptr);
            }
            checkDigest(*block);
        },
        [this] { interrupt_.trigger(); });
}

void InflateStage::checkDigest(const Block& block) {
    if (digest_.digestOf(block.getData(), block.length()) == block.getDigest())
        return;
    const BatchPlace& place = block.place();
    ZENTRAD_THROW(runtime::AgentException,
                  "Block stream error: block " + std::to_string(block.index()) + " (record " +
                      std::to_string(place.position + 1) + " of batch " +
                      std::to_string(place.batch) + ") does not match its digest");
}

}  // namespace blocks
