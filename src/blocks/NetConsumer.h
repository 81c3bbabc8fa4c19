// The last stage of the backup pipeline: packs blocks into batches of up to 256 and writes
// them to the server (see BlockBatchWriter for the wire form). When no batch has gone out
// for the keep-alive interval (10 s) and nothing is waiting, it writes PROT_KEEPALIVE so
// the server knows a slow disk from a dead agent. At the end of a complete stream it sends
// the partial batch and logs "Blocks sent: N" and "Sent N in S seconds.". It is woken when
// a batch's worth of blocks waits, not for every block.
//
// A failure is logged once at ERROR ("Error while sending blocks to network: ...") and
// aborts the pipeline. While the pipeline runs this stage alone writes to the connection.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "blocks/BlockBatchWriter.h"
#include "blocks/BlockChannel.h"
#include "yin/Consumer.h"
#include "yin/Stage.h"

namespace blocks {

class NetConsumer : public yin::RequestThread, public yin::Consumer<BlockPtr> {
  public:
    static constexpr std::chrono::milliseconds kKeepAliveInterval{10000};

    // The stream must outlive the stage.
    NetConsumer(net::ProtocolStream& stream, const crypto::KeyMsg& protocolKey,
                std::shared_ptr<BlockChannel> input, yin::Latch& latch,
                std::shared_ptr<logging::NetLogger> netLogger,
                std::chrono::milliseconds keepAliveInterval = kKeepAliveInterval);

    bool isDone() override { return failed_; }
    void started() override;
    void done() override;

    bool failed() const { return failed_; }
    std::uint64_t blocksSent() const { return blocksSent_; }
    std::uint64_t keepAlivesSent() const { return keepAlivesSent_; }

  protected:
    void consume(BlockPtr item) override;
    void timeout() override;
    // What the open batch lacks: the stage sleeps until a whole batch can be sent.
    std::size_t groupSize() override { return BlockBatchWriter::kMaxBatch - batch_.size(); }

  private:
    void sendBatch();
    void rearm() { setTimeout(static_cast<int>(keepAliveInterval_.count())); }
    void logSummary() const;

    BlockBatchWriter writer_;
    std::vector<BlockPtr> batch_;
    std::chrono::milliseconds keepAliveInterval_;
    std::chrono::steady_clock::time_point startTime_;
    std::uint64_t blocksSent_ = 0;
    std::uint64_t keepAlivesSent_ = 0;
    bool failed_ = false;
};

}  // namespace blocks
