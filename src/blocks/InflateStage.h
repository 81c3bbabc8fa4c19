// Restore stage: inflates compressed blocks (plain ones pass unchanged) with one zlib
// stream reset after every block. A failure is logged once, aborts the pipeline and
// interrupts the receiver.
#pragma once

#include <memory>

#include "blocks/BlockBufferPool.h"
#include "blocks/BlockChannel.h"
#include "blocks/ReceiverInterrupt.h"
#include "blocks/ZlibStreams.h"
#include "yin/OrderedWorkers.h"
#include "yin/RequestThread.h"

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
    InflateStream stream_;
    ReceiverInterrupt& interrupt_;
    std::shared_ptr<BlockBufferPool> buffers_;
    bool failed_ = false;
};

}  // namespace blocks
