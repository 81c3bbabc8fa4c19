#include "blocks/CompressionCP.h"

#include "winutil/Logger.h"
#include "winutil/RunState.h"
#include "yin/Exceptions.h"

namespace blocks {
namespace {

// zlib's levels are -1 (its default) to 9; anything else from the server is refused by
// deflateInit as an invalid level rather than wrapped into one.
int zlibLevel(std::uint32_t level) {
    return level > 9 && level != 0xFFFFFFFFu ? 10 : static_cast<int>(level);
}

}  // namespace

CompressionCP::CompressionCP(std::uint32_t compressionLevel, std::shared_ptr<BlockChannel> input,
                             std::shared_ptr<BlockChannel> output, yin::Latch& latch,
                             std::shared_ptr<winutil::NetLogger> netLogger)
    : yin::RequestThread(std::move(netLogger)),
      yin::ConsumerProducer<BlockPtr>(std::move(input), std::move(output), latch),
      stream_(zlibLevel(compressionLevel)) {}

void CompressionCP::consumeProduce(BlockPtr& output, BlockPtr& input) {
    try {
        ZENTRAD_CHECK_RUNNING();
        input->deflate(stream_);
        output = std::move(input);
        return;
    } catch (const std::exception& error) {
        winutil::logError() << "Error while compressing blocks: " << error.what();
    } catch (...) {
        winutil::logError() << "Unknown exception while compressing blocks";
    }
    failed_ = true;
    throw yin::abort_exception("CompressionCP failed");
}

}  // namespace blocks
