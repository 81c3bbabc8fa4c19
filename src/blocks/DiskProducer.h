// The first stage of the backup pipeline: chooses which blocks go out and reads them.
//   - without a change list: every block set in the used-block map, in ascending order,
//     leaving out (when digests are compared) those whose digest the server already holds;
//   - with a change list: the used blocks among the changed ones, without a digest check;
//     an empty change list sends nothing.
// Every block handed out has its bit cleared in the skipped-block map (when one is given),
// so that map ends up holding exactly the used blocks that were not sent.
//
// Logs its progress at INFO (blocks looked at of those to look at) every
// ProgressMeter::kInterval. Any failure is logged once at ERROR ("Error while reading blocks from
// disk: ...") and aborts the pipeline; the flags are read by the builder after the join.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "blocks/BlockChannel.h"
#include "blocks/BlockMap.h"
#include "blocks/BlockReader.h"
#include "blocks/BlockSumManager.h"
#include "blocks/ProgressMeter.h"
#include "yin/Producer.h"
#include "yin/Stage.h"

namespace blocks {

class DiskProducer : public yin::RequestThread, public yin::Producer<BlockPtr> {
  public:
    // reader, usedBlocks and changes (may be null) must outlive the stage.
    DiskProducer(BlockReader& reader, const BlockMap& usedBlocks,
                 std::shared_ptr<BlockChannel> output, yin::Latch& latch,
                 std::shared_ptr<logging::NetLogger> netLogger,
                 const ChangedBlocks* changes = nullptr);

    // The map in which handed-out blocks are cleared; null for none.
    void setSkippedMap(BlockMap* skipped) { skipped_ = skipped; }
    // Leaves out blocks whose digest blockSums holds (only without a change list).
    void setBlockSums(BlockSumManager* blockSums) {
        blockSums_ = blockSums;
        checkDuplicates_ = blockSums != nullptr;
    }

    bool isDone() override { return failed_; }
    void started() override {
        installNetLogger();
        progress_.start();
    }

    bool failed() const { return failed_; }
    bool finished() const { return finished_; }
    std::uint64_t blocksRead() const { return blocksRead_; }
    std::uint64_t duplicatesSkipped() const { return duplicatesSkipped_; }

  protected:
    void produce(BlockPtr& item) override;
    // The blocks left of the run read last, or of the next run (at least one).
    void produceSome(std::vector<BlockPtr>& items) override;

  private:
    // The next block to hand out, its progress counted.
    BlockPtr handOut();
    BlockPtr nextBlock();
    BlockPtr nextUsedBlock();
    BlockPtr nextChangedBlock();
    // The next run of consecutive used (or changed and used) blocks into run_.
    void readUsedRun();
    void readChangedRun();
    BlockPtr takeFromRun();
    // True when next_ is a used block of the volume.
    bool isUsed() const { return usedBlocks_.bit(next_); }
    [[noreturn]] void endOfStream();
    // Blocks this backup will look at: used ones, or used ones among the changes.
    std::uint64_t blocksToRead() const;

    BlockReader& reader_;
    const BlockMap& usedBlocks_;
    const ChangedBlocks* changes_;
    BlockMap* skipped_ = nullptr;
    BlockSumManager* blockSums_ = nullptr;
    bool checkDuplicates_ = false;
    bool changesStarted_ = false;
    std::uint64_t next_ = 0;
    std::uint64_t limit_ = 0;
    bool limitKnown_ = false;
    bool failed_ = false;
    bool finished_ = false;
    std::uint64_t blocksRead_ = 0;
    std::uint64_t duplicatesSkipped_ = 0;
    // Blocks read ahead in one run and not yet handed out.
    std::vector<BlockPtr> run_;
    std::size_t runPosition_ = 0;
    // The stream ended while a group was being made: the next call ends it.
    bool endPending_ = false;
    ProgressMeter progress_{"Backup progress", 0};
};

}  // namespace blocks
