// Restore stage: inflates compressed blocks (plain ones pass unchanged) with one zlib
// stream reset after every block. A failure is logged once, aborts the pipeline and
// interrupts the receiver.
#pragma once

#include <memory>

#include "blocks/BlockChannel.h"
#include "blocks/ReceiverInterrupt.h"
#include "blocks/ZlibStreams.h"
#include "yin/ConsumerProducer.h"
#include "yin/RequestThread.h"

namespace blocks {

class InflateCP : public yin::RequestThread, public yin::ConsumerProducer<BlockPtr> {
  public:
    // Throws winutil::AgentException "zip stream inflate init failed".
    InflateCP(std::shared_ptr<BlockChannel> input, std::shared_ptr<BlockChannel> output,
              yin::Latch& latch, std::shared_ptr<winutil::NetLogger> netLogger,
              ReceiverInterrupt& interrupt);

    void started() override { installNetLogger(); }
    bool failed() const { return failed_; }

  protected:
    void consumeProduce(BlockPtr& output, BlockPtr& input) override;

  private:
    InflateStream stream_;
    ReceiverInterrupt& interrupt_;
    bool failed_ = false;
};

}  // namespace blocks
