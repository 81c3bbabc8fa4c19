#include "blocks/DiskProducer.h"

#include <algorithm>
#include <bit>

#include "logging/Logger.h"
#include "runtime/Exceptions.h"
#include "runtime/RunState.h"
#include "yin/Exceptions.h"
#include "yin/StageGuard.h"

namespace blocks {

DiskProducer::DiskProducer(BlockReader& reader, const BlockMap& usedBlocks,
                           std::shared_ptr<BlockChannel> output, yin::Latch& latch,
                           std::shared_ptr<logging::NetLogger> netLogger,
                           const ChangedBlocks* changes)
    : yin::RequestThread(std::move(netLogger)),
      yin::Producer<BlockPtr>(std::move(output), latch),
      reader_(reader),
      usedBlocks_(usedBlocks),
      changes_(changes) {}

namespace {

constexpr yin::FailureTexts kReadFailure{"Error while reading blocks from disk: ",
                                         "Unknown exception while reading blocks from disk"};
// Blocks handed on together at most: a run's tail of duplicates moves on to the next run,
// which must not chain a whole volume into one group.
constexpr std::size_t kMostPerGroup = 256;

}  // namespace

void DiskProducer::produce(BlockPtr& item) {
    yin::guardStage(kReadFailure, failed_, [&] {
        ZENTRAD_CHECK_RUNNING();
        item = handOut();
    });
}

void DiskProducer::produceSome(std::vector<BlockPtr>& items) {
    yin::guardStage(kReadFailure, failed_, [&] {
        ZENTRAD_CHECK_RUNNING();
        if (endPending_)
            endOfStream();
        items.push_back(handOut());
        try {
            // Only blocks already read: the group never waits for the disk.
            while (runPosition_ < run_.size() && items.size() < kMostPerGroup)
                items.push_back(handOut());
        } catch (const yin::EndOfStreamException&) {
            // The rest of the run were duplicates and the volume ends there.
            endPending_ = true;
        }
    });
}

BlockPtr DiskProducer::handOut() {
    BlockPtr block = nextBlock();
    if (skipped_ != nullptr)
        skipped_->clearBit(block->index());
    progress_.setBlockSize(block->size());
    progress_.update(blocksRead_);
    return block;
}

BlockPtr DiskProducer::nextBlock() {
    if (!limitKnown_) {
        // Blocks beyond either the volume or the map do not exist for this backup.
        limit_ = std::min(reader_.blockCount(), usedBlocks_.capacity());
        limitKnown_ = true;
        progress_.setTotal(blocksToRead());
    }
    return changes_ != nullptr ? nextChangedBlock() : nextUsedBlock();
}

BlockPtr DiskProducer::takeFromRun() {
    BlockPtr block = std::move(run_[runPosition_++]);
    ++blocksRead_;
    return block;
}

BlockPtr DiskProducer::nextUsedBlock() {
    for (;;) {
        if (runPosition_ == run_.size())
            readUsedRun();
        BlockPtr block = takeFromRun();
        if (checkDuplicates_ && blockSums_->isBlockDuplicate(*block)) {
            ++duplicatesSkipped_;
            continue;
        }
        return block;
    }
}

void DiskProducer::readUsedRun() {
    while (next_ < limit_ && !isUsed())
        ++next_;
    if (next_ >= limit_)
        endOfStream();
    std::uint64_t most = std::max<std::uint64_t>(1, reader_.runLimit());
    std::uint64_t count = 1;
    while (count < most && next_ + count < limit_ && usedBlocks_.bit(next_ + count))
        ++count;
    run_.clear();
    runPosition_ = 0;
    reader_.readRun(next_, count, run_);
    next_ += count;
}

BlockPtr DiskProducer::nextChangedBlock() {
    if (runPosition_ == run_.size())
        readChangedRun();
    return takeFromRun();
}

void DiskProducer::readChangedRun() {
    for (;;) {
        bool found = changesStarted_ ? changes_->next(next_) : changes_->first(next_);
        changesStarted_ = true;
        if (!found || next_ >= limit_)
            endOfStream();
        if (isUsed())
            break;
    }
    // The change list is asked without moving on, so a block that ends the run is found
    // again by the next call.
    std::uint64_t most = std::max<std::uint64_t>(1, reader_.runLimit());
    std::uint64_t first = next_;
    std::uint64_t count = 1;
    for (std::uint64_t probe = next_; count < most; ++count) {
        if (!changes_->next(probe) || probe != first + count || probe >= limit_ ||
            !usedBlocks_.bit(probe))
            break;
    }
    run_.clear();
    runPosition_ = 0;
    reader_.readRun(first, count, run_);
    next_ = first + count - 1;
}

std::uint64_t DiskProducer::blocksToRead() const {
    std::uint64_t count = 0;
    if (changes_ != nullptr) {
        std::uint64_t block = 0;
        for (bool found = changes_->first(block); found && block < limit_;
             found = changes_->next(block)) {
            count += usedBlocks_.bit(block) ? 1 : 0;
        }
        return count;
    }
    std::uint64_t wholeBytes = std::min<std::uint64_t>(limit_ / 8, usedBlocks_.byteCount());
    for (std::uint64_t i = 0; i < wholeBytes; ++i)
        count += static_cast<std::uint64_t>(std::popcount(usedBlocks_.bytes()[i]));
    for (std::uint64_t i = wholeBytes * 8; i < limit_; ++i)
        count += usedBlocks_.bit(i) ? 1 : 0;
    return count;
}

void DiskProducer::endOfStream() {
    finished_ = true;
    throw yin::EndOfStreamException("finished reading blocks");
}

}  // namespace blocks
