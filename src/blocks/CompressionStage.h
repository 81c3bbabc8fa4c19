// One worker of the backup pipeline's compressor: deflates each block with its own zlib stream
// when that makes it shorter (a block that does not shrink goes on raw). A failure is
// logged once at ERROR and aborts the pipeline.
#pragma once

#include <cstdint>
#include <memory>

#include "blocks/BlockChannel.h"
#include "blocks/ZlibStreams.h"
#include "yin/OrderedWorkers.h"
#include "yin/Stage.h"

namespace blocks {

class CompressionStage : public yin::RequestThread, public yin::OrderedWorker<BlockPtr> {
  public:
    // Throws runtime::AgentException when zlib refuses the level; this is checked when the
    // stage is built, before any stage runs.
    CompressionStage(std::uint32_t compressionLevel, std::shared_ptr<BlockWorkers> group,
                     yin::Latch& latch, std::shared_ptr<logging::NetLogger> netLogger);

    bool isDone() override { return failed_; }
    void started() override { installNetLogger(); }
    bool failed() const { return failed_; }

  protected:
    void transform(BlockPtr& block) override;

  private:
    DeflateStream stream_;
    bool failed_ = false;
};

}  // namespace blocks
