// Restore stage: deciphers each block (Blowfish-CBC, each block a chain of its own) with
// the request's key. A failure is logged once, aborts the pipeline and interrupts the
// receiver.
#pragma once

#include <memory>

#include "blocks/BlockChannel.h"
#include "blocks/ReceiverInterrupt.h"
#include "crypto/CipherContext.h"
#include "crypto/KeyMsg.h"
#include "yin/OrderedWorkers.h"
#include "yin/Stage.h"

namespace blocks {

class DecryptionStage : public yin::RequestThread, public yin::OrderedWorker<BlockPtr> {
  public:
    DecryptionStage(std::shared_ptr<BlockWorkers> group, yin::Latch& latch,
                    std::shared_ptr<logging::NetLogger> netLogger, crypto::KeyMsg key,
                    ReceiverInterrupt& interrupt);

    void started() override { installNetLogger(); }
    bool failed() const { return failed_; }

  protected:
    void transform(BlockPtr& block) override;

  private:
    crypto::KeyMsg key_;
    crypto::CipherContext context_;
    ReceiverInterrupt& interrupt_;
    bool failed_ = false;
};

}  // namespace blocks
