#include "blocks/DiskConsumer.h"

#include <string>

#include "logging/Logger.h"
#include "runtime/Exceptions.h"
#include "runtime/RunState.h"
#include "yin/Exceptions.h"
#include "yin/StageGuard.h"

namespace blocks {
namespace {

constexpr yin::FailureTexts kWriteFailure{"Error while writing blocks from disk: ",
                                          "Unknown exception in disk consumer"};

}  // namespace

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
        kWriteFailure, failed_,
        [&] {
            ZENTRAD_CHECK_RUNNING();
            if (hold(std::move(item)))
                writePending();
        },
        [this] { interrupt_.trigger(); });
}

bool DiskConsumer::hold(BlockPtr block) {
    const BatchPlace& place = block->place();
    bool follows = pending_.empty() ? place.position == 0
                                    : place.batch == pending_.front()->place().batch &&
                                          place.position == pending_.back()->place().position + 1;
    if (!follows || place.position >= place.count) {
        ZENTRAD_THROW(runtime::AgentException, "Block stream error: block " +
                                                   std::to_string(block->index()) +
                                                   " arrived out of its batch's order");
    }
    bool complete = place.last();
    pending_.push_back(std::move(block));
    return complete;
}

void DiskConsumer::writePending() {
    for (const BlockPtr& block : pending_) {
        partition_.writeBlock(*block);
        if (!progressStarted_) {
            progressStarted_ = true;
            progress_.setBlockSize(block->size());
            progress_.setTotal(partition_.length() / block->size());
        }
    }
    reportProgress(*pending_.back());
    pending_.clear();
}

void DiskConsumer::reportProgress(const Block& block) {
    if (!progress_.due())
        return;
    progress_.update(block.index() + 1,
                     ", " + std::to_string(partition_.blocksWritten()) + " blocks written");
}

void DiskConsumer::done() {
    try {
        // A stream that ended inside a batch leaves it unwritten; the producer only ends
        // after a whole batch, so this is a failure upstream.
        if (!pending_.empty()) {
            pending_.clear();
            failed_ = true;
        }
        partition_.close();
    } catch (const std::exception& error) {
        // The last gathered blocks reach the disk here.
        yin::recordFailure(kWriteFailure, failed_, &error);
    }
}

}  // namespace blocks
