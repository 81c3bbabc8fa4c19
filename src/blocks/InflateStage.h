// Restore stage: inflates compressed blocks (plain ones pass unchanged) with one zlib
// stream reset after every block, then checks every block against the digest its record
// carried: the batch digest only proves the records arrived as sent, not that each block's
// data is the block the record names. A failure (naming the block) is logged once, aborts
// the pipeline and interrupts the receiver; the disk writer then never completes that
// block's batch, so nothing of it is written.
#pragma once

#include <memory>

#include "blocks/BlockBufferPool.h"
#include "blocks/BlockChannel.h"
#include "blocks/Md5Stream.h"
#include "blocks/ReceiverInterrupt.h"
#include "blocks/ZlibStreams.h"
#include "yin/OrderedWorkers.h"
#include "yin/Stage.h"

namespace blocks {

class InflateStage : public yin::RequestThread, public yin::OrderedWorker<BlockPtr> {
  public:
    // Throws runtime::AgentException when zlib cannot set up the stream. Inflated data goes
    // into buffers from the pool when one is given and its buffers hold a whole block.
    InflateStage(std::shared_ptr<BlockWorkers> group, yin::Latch& latch,
                 std::shared_ptr<logging::NetLogger> netLogger, ReceiverInterrupt& interrupt,
                 std::shared_ptr<BlockBufferPool> buffers = nullptr);

    void started() override { installNetLogger(); }
    bool failed() const { return failed_; }

  protected:
    void transform(BlockPtr& block) override;

  private:
    void checkDigest(const Block& block);

    InflateStream stream_;
    Md5Stream digest_;
    ReceiverInterrupt& interrupt_;
    std::shared_ptr<BlockBufferPool> buffers_;
    bool failed_ = false;
};

}  // namespace blocks
