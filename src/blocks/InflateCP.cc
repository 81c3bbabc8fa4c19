#include "blocks/InflateCP.h"

#include "winutil/Logger.h"
#include "yin/Exceptions.h"

namespace blocks {

InflateCP::InflateCP(std::shared_ptr<BlockChannel> input, std::shared_ptr<BlockChannel> output,
                     yin::Latch& latch, std::shared_ptr<winutil::NetLogger> netLogger,
                     ReceiverInterrupt& interrupt)
    : yin::RequestThread(std::move(netLogger)),
      yin::ConsumerProducer<BlockPtr>(std::move(input), std::move(output), latch),
      interrupt_(interrupt) {}

void InflateCP::consumeProduce(BlockPtr& output, BlockPtr& input) {
    try {
        input->inflate(stream_);
        output = std::move(input);
        return;
    } catch (const std::exception& error) {
        winutil::logError() << "Error while decompressing blocks: " << error.what();
    } catch (...) {
        winutil::logError() << "Unknown exception while decompressing blocks";
    }
    failed_ = true;
    interrupt_.trigger();
    throw yin::abort_exception("block inflation failed");
}

}  // namespace blocks
