#include "blocks/CompressionStage.h"

#include "logging/Logger.h"
#include "runtime/RunState.h"
#include "yin/StageGuard.h"

namespace blocks {
namespace {

// zlib's levels are -1 (its default) to 9; anything else from the server is refused by
// deflateInit as an invalid level rather than wrapped into one.
int zlibLevel(std::uint32_t level) {
    return level > 9 && level != 0xFFFFFFFFu ? 10 : static_cast<int>(level);
}

}  // namespace

CompressionStage::CompressionStage(std::uint32_t compressionLevel,
                                   std::shared_ptr<BlockWorkers> group, yin::Latch& latch,
                                   std::shared_ptr<logging::NetLogger> netLogger)
    : yin::RequestThread(std::move(netLogger)),
      yin::OrderedWorker<BlockPtr>(std::move(group), latch),
      stream_(zlibLevel(compressionLevel)) {}

void CompressionStage::transform(BlockPtr& block) {
    yin::guardStage(
        {"Error while compressing blocks: ", "Unknown exception while compressing blocks"}, failed_,
        [&] {
            ZENTRAD_CHECK_RUNNING();
            block->deflate(stream_);
        });
}

}  // namespace blocks
