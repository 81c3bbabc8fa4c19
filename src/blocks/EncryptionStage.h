// The backup pipeline's encryptor: enciphers each block with the backup session key
// (Blowfish-CBC, each block a chain of its own) through its own cipher context (one worker of
// several). A failure is logged once at ERROR and aborts the pipeline.
#pragma once

#include <memory>

#include "blocks/BlockChannel.h"
#include "crypto/CipherContext.h"
#include "crypto/KeyMsg.h"
#include "yin/OrderedWorkers.h"
#include "yin/Stage.h"

namespace blocks {

class EncryptionStage : public yin::RequestThread, public yin::OrderedWorker<BlockPtr> {
  public:
    // The key must outlive the stage.
    EncryptionStage(const crypto::KeyMsg& key, std::shared_ptr<BlockWorkers> group,
                    yin::Latch& latch, std::shared_ptr<logging::NetLogger> netLogger);

    bool isDone() override { return failed_; }
    void started() override { installNetLogger(); }
    bool failed() const { return failed_; }

  protected:
    void transform(BlockPtr& block) override;

  private:
    const crypto::KeyMsg& key_;
    crypto::CipherContext context_;
    bool failed_ = false;
};

}  // namespace blocks
