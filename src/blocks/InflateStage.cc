#include "blocks/InflateStage.h"

#include "logging/Logger.h"
#include "yin/StageGuard.h"

namespace blocks {

InflateStage::InflateStage(std::shared_ptr<BlockWorkers> group, yin::Latch& latch,
                           std::shared_ptr<logging::NetLogger> netLogger,
                           ReceiverInterrupt& interrupt)
    : yin::RequestThread(std::move(netLogger)),
      yin::OrderedWorker<BlockPtr>(std::move(group), latch),
      interrupt_(interrupt) {}

void InflateStage::transform(BlockPtr& block) {
    yin::guardStage(
        {"Error while decompressing blocks: ", "Unknown exception while decompressing blocks"},
        failed_, [&] { block->inflate(stream_); }, [this] { interrupt_.trigger(); });
}

}  // namespace blocks
