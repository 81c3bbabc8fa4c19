#include "blocks/DiskConsumer.h"

#include "logging/Logger.h"
#include "runtime/RunState.h"
#include "yin/Exceptions.h"
#include "yin/StageGuard.h"

namespace blocks {

DiskConsumer::DiskConsumer(std::shared_ptr<BlockChannel> input, yin::Latch& latch,
                           std::shared_ptr<logging::NetLogger> netLogger,
                           RestorePartition& partition, ReceiverInterrupt& interrupt)
    : yin::RequestThread(std::move(netLogger)),
      yin::Consumer<BlockPtr>(std::move(input), latch),
      partition_(partition),
      interrupt_(interrupt),
      progress_("Restore progress", 0) {}

void DiskConsumer::started() {
    installNetLogger();
    progress_.start();
}

void DiskConsumer::consume(BlockPtr item) {
    yin::guardStage(
        {"Error while writing blocks from disk: ", "Unknown exception in disk consumer"}, failed_,
        [&] {
            ZENTRAD_CHECK_RUNNING();
            partition_.writeBlock(*item);
            if (!progressStarted_) {
                progressStarted_ = true;
                progress_.setBlockSize(item->size());
                progress_.setTotal(partition_.length() / item->size());
            }
            reportProgress(*item);
        },
        [this] { interrupt_.trigger(); });
}

void DiskConsumer::reportProgress(const Block& block) {
    if (!progress_.due())
        return;
    progress_.update(block.index() + 1,
                     ", " + std::to_string(partition_.blocksWritten()) + " blocks written");
}

void DiskConsumer::done() {
    try {
        partition_.close();
    } catch (const std::exception& error) {
        // The last gathered blocks reach the disk here.
        logging::logError() << "Error while writing blocks from disk: " << error.what();
        failed_ = true;
    }
}

}  // namespace blocks
