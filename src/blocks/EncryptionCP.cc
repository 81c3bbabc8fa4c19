#include "blocks/EncryptionCP.h"

#include "winutil/Logger.h"
#include "winutil/RunState.h"
#include "yin/Exceptions.h"

namespace blocks {

EncryptionCP::EncryptionCP(const crypto::KeyMsg& key, std::shared_ptr<BlockChannel> input,
                           std::shared_ptr<BlockChannel> output, yin::Latch& latch,
                           std::shared_ptr<winutil::NetLogger> netLogger)
    : yin::RequestThread(std::move(netLogger)),
      yin::ConsumerProducer<BlockPtr>(std::move(input), std::move(output), latch),
      key_(key) {}

void EncryptionCP::consumeProduce(BlockPtr& output, BlockPtr& input) {
    try {
        ZENTRAD_CHECK_RUNNING();
        input->encrypt(key_, context_);
        output = std::move(input);
        return;
    } catch (const std::exception& error) {
        winutil::logError() << "Error while encrypting blocks: " << error.what();
    } catch (...) {
        winutil::logError() << "Unknown exception while encrypting blocks";
    }
    failed_ = true;
    throw yin::abort_exception("EncryptionCP failed");
}

}  // namespace blocks
