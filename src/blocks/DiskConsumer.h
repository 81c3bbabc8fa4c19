// Last restore stage: holds the blocks of a batch until its last block has arrived (each
// checked by the stages before), then writes them at their places through the
// RestorePartition, and closes the partition when the stream ends. A batch cut short by a
// failure upstream is never written, not even in part. A failure is logged once, aborts the
// pipeline and interrupts the receiver. Logs its progress at INFO every
// ProgressMeter::kInterval while blocks keep coming: blocks arrive in ascending order, so
// the place of the last one in the partition tells how far the restore is.
#pragma once

#include <chrono>
#include <memory>
#include <vector>

#include "blocks/BlockChannel.h"
#include "blocks/ProgressMeter.h"
#include "blocks/ReceiverInterrupt.h"
#include "blocks/RestorePartition.h"
#include "yin/Consumer.h"
#include "yin/Stage.h"

namespace blocks {

class DiskConsumer : public yin::RequestThread, public yin::Consumer<BlockPtr> {
  public:
    // The partition must outlive the stage.
    DiskConsumer(std::shared_ptr<BlockChannel> input, yin::Latch& latch,
                 std::shared_ptr<logging::NetLogger> netLogger, RestorePartition& partition,
                 ReceiverInterrupt& interrupt);

    bool isDone() override { return failed_; }
    void started() override;
    void done() override;
    bool failed() const { return failed_; }

  protected:
    void consume(BlockPtr item) override;

  private:
    void reportProgress(const Block& block);
    // Adds a block to the pending batch; true when that completed it. Throws
    // runtime::AgentException when the block does not follow the one before it.
    bool hold(BlockPtr block);
    void writePending();

    RestorePartition& partition_;
    ReceiverInterrupt& interrupt_;
    std::vector<BlockPtr> pending_;
    bool failed_ = false;
    bool progressStarted_ = false;
    ProgressMeter progress_;
};

}  // namespace blocks
