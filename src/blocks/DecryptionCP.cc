#include "blocks/DecryptionCP.h"

#include "winutil/Logger.h"
#include "yin/Exceptions.h"

namespace blocks {

DecryptionCP::DecryptionCP(std::shared_ptr<BlockChannel> input,
                           std::shared_ptr<BlockChannel> output, yin::Latch& latch,
                           std::shared_ptr<winutil::NetLogger> netLogger, crypto::KeyMsg key,
                           ReceiverInterrupt& interrupt)
    : yin::RequestThread(std::move(netLogger)),
      yin::ConsumerProducer<BlockPtr>(std::move(input), std::move(output), latch),
      key_(std::move(key)),
      interrupt_(interrupt) {}

void DecryptionCP::consumeProduce(BlockPtr& output, BlockPtr& input) {
    try {
        input->decrypt(key_, context_);
        output = std::move(input);
        return;
    } catch (const std::exception& error) {
        winutil::logError() << "Error while decrypting blocks: " << error.what();
    } catch (...) {
        winutil::logError() << "Unknown exception while decrypting blocks";
    }
    failed_ = true;
    interrupt_.trigger();
    throw yin::abort_exception("block decryption failed");
}

}  // namespace blocks
