#include "blocks/DiskProducer.h"

#include <algorithm>

#include "winutil/Exceptions.h"
#include "winutil/Logger.h"
#include "winutil/RunState.h"
#include "yin/Exceptions.h"

namespace blocks {

DiskProducer::DiskProducer(BlockReader& reader, const BlockMap& usedBlocks,
                           std::shared_ptr<BlockChannel> output, yin::Latch& latch,
                           std::shared_ptr<winutil::NetLogger> netLogger,
                           const ChangedBlocks* changes)
    : yin::RequestThread(std::move(netLogger)),
      yin::Producer<BlockPtr>(std::move(output), latch),
      reader_(reader),
      usedBlocks_(usedBlocks),
      changes_(changes) {}

void DiskProducer::produce(BlockPtr& item) {
    try {
        ZENTRAD_CHECK_RUNNING();
        item = nextBlock();
        if (skipped_ != nullptr)
            skipped_->clearBit(item->index());
        return;
    } catch (const yin::pc_exception&) {
        throw;
    } catch (const std::exception& error) {
        winutil::logError() << "Error while reading blocks from disk: " << error.what();
    } catch (...) {
        winutil::logError() << "Unknown exception while reading blocks from disk";
    }
    failed_ = true;
    throw yin::abort_exception("disk producer failed");
}

BlockPtr DiskProducer::nextBlock() {
    if (!limitKnown_) {
        // Blocks beyond either the volume or the map do not exist for this backup.
        limit_ = std::min(reader_.blockCount(), usedBlocks_.capacity());
        limitKnown_ = true;
    }
    return changes_ != nullptr ? nextChangedBlock() : nextUsedBlock();
}

BlockPtr DiskProducer::nextUsedBlock() {
    for (;;) {
        while (next_ < limit_ && !isUsed())
            ++next_;
        if (next_ >= limit_)
            endOfStream();
        BlockPtr block = reader_.readBlock(next_++);
        ++blocksRead_;
        if (checkDuplicates_ && blockSums_->isBlockDuplicate(*block)) {
            ++duplicatesSkipped_;
            continue;
        }
        return block;
    }
}

BlockPtr DiskProducer::nextChangedBlock() {
    for (;;) {
        bool found = changesStarted_ ? changes_->next(next_) : changes_->first(next_);
        changesStarted_ = true;
        if (!found || next_ >= limit_)
            endOfStream();
        if (isUsed()) {
            ++blocksRead_;
            return reader_.readBlock(next_);
        }
    }
}

void DiskProducer::endOfStream() {
    finished_ = true;
    throw yin::pc_exception("finished reading blocks");
}

}  // namespace blocks
