#include "blocks/DecryptionStage.h"

#include "logging/Logger.h"
#include "yin/StageGuard.h"

namespace blocks {

DecryptionStage::DecryptionStage(std::shared_ptr<BlockWorkers> group, yin::Latch& latch,
                                 std::shared_ptr<logging::NetLogger> netLogger, crypto::KeyMsg key,
                                 ReceiverInterrupt& interrupt)
    : yin::RequestThread(std::move(netLogger)),
      yin::OrderedWorker<BlockPtr>(std::move(group), latch),
      key_(std::move(key)),
      interrupt_(interrupt) {}

void DecryptionStage::transform(BlockPtr& block) {
    yin::guardStage(
        {"Error while decrypting blocks: ", "Unknown exception while decrypting blocks"}, failed_,
        [&] { block->decrypt(key_, context_); }, [this] { interrupt_.trigger(); });
}

}  // namespace blocks
