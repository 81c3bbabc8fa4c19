#include "blocks/DiskConsumer.h"

#include "winutil/Logger.h"
#include "winutil/RunState.h"
#include "yin/Exceptions.h"
#include "yin/StageGuard.h"

namespace blocks {

DiskConsumer::DiskConsumer(std::shared_ptr<BlockChannel> input, yin::Latch& latch,
                           std::shared_ptr<winutil::NetLogger> netLogger,
                           RestorePartition& partition, ReceiverInterrupt& interrupt)
    : yin::RequestThread(std::move(netLogger)),
      yin::Consumer<BlockPtr>(std::move(input), latch),
      partition_(partition),
      interrupt_(interrupt) {}

void DiskConsumer::started() {
    installNetLogger();
    nextProgress_ = std::chrono::steady_clock::now() + kProgressInterval;
}

void DiskConsumer::consume(BlockPtr item) {
    yin::guardStage(
        {"Error while writing blocks from disk: ", "Unknown exception in disk consumer"}, failed_,
        [&] {
            ZENTRAD_CHECK_RUNNING();
            partition_.writeBlock(*item);
            reportProgress();
        },
        [this] { interrupt_.trigger(); });
}

void DiskConsumer::reportProgress() {
    auto now = std::chrono::steady_clock::now();
    if (now < nextProgress_)
        return;
    nextProgress_ = now + kProgressInterval;
    winutil::logInfo() << "Restore in progress: " << partition_.blocksWritten()
                       << " blocks written";
}

void DiskConsumer::done() {
    try {
        partition_.close();
    } catch (const std::exception& error) {
        // The last gathered blocks reach the disk here.
        winutil::logError() << "Error while writing blocks from disk: " << error.what();
        failed_ = true;
    }
}

}  // namespace blocks
