#include "blocks/EncryptionStage.h"

#include "logging/Logger.h"
#include "runtime/RunState.h"
#include "yin/StageGuard.h"

namespace blocks {

EncryptionStage::EncryptionStage(const crypto::KeyMsg& key, std::shared_ptr<BlockWorkers> group,
                                 yin::Latch& latch, std::shared_ptr<logging::NetLogger> netLogger)
    : yin::RequestThread(std::move(netLogger)),
      yin::OrderedWorker<BlockPtr>(std::move(group), latch),
      key_(key) {}

void EncryptionStage::transform(BlockPtr& block) {
    yin::guardStage(
        {"Error while encrypting blocks: ", "Unknown exception while encrypting blocks"}, failed_,
        [&] {
            ZENTRAD_CHECK_RUNNING();
            block->encrypt(key_, context_);
        });
}

}  // namespace blocks
