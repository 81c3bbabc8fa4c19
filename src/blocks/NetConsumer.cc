#include "blocks/NetConsumer.h"

#include "logging/Logger.h"
#include "runtime/Exceptions.h"
#include "runtime/RunState.h"
#include "yin/Exceptions.h"
#include "yin/StageGuard.h"

namespace blocks {
namespace {

constexpr yin::FailureTexts kSendFailure{"Error while sending blocks to network: ",
                                         "Unknown exception in net consumer"};

}  // namespace

NetConsumer::NetConsumer(net::ProtocolStream& stream, const crypto::KeyMsg& protocolKey,
                         std::shared_ptr<BlockChannel> input, yin::Latch& latch,
                         std::shared_ptr<logging::NetLogger> netLogger,
                         std::chrono::milliseconds keepAliveInterval)
    : yin::RequestThread(std::move(netLogger)),
      yin::Consumer<BlockPtr>(std::move(input), latch),
      writer_(stream, protocolKey),
      keepAliveInterval_(keepAliveInterval),
      startTime_(std::chrono::steady_clock::now()) {
    batch_.reserve(BlockBatchWriter::kMaxBatch);
    rearm();
}

void NetConsumer::started() {
    installNetLogger();
    startTime_ = std::chrono::steady_clock::now();
}

void NetConsumer::consume(BlockPtr item) {
    yin::guardStage(kSendFailure, failed_, [&] {
        ZENTRAD_CHECK_RUNNING();
        batch_.push_back(std::move(item));
        if (batch_.size() == BlockBatchWriter::kMaxBatch)
            sendBatch();
    });
}

void NetConsumer::timeout() {
    try {
        writer_.sendKeepAlive();
        ++keepAlivesSent_;
        rearm();
        return;
    } catch (const std::exception& error) {
        yin::recordFailure(kSendFailure, failed_, &error);
    }
    throw yin::AbortException("net consumer failed");
}

void NetConsumer::done() {
    // Only a complete stream ends with its partial batch: after an abort the server must
    // not receive blocks of a backup that is failing anyway.
    if (!failed_ && reachedEnd() && !batch_.empty()) {
        try {
            sendBatch();
        } catch (const std::exception& error) {
            yin::recordFailure(kSendFailure, failed_, &error);
        }
    }
    batch_.clear();
    logSummary();
    if (failed_)
        abort(true);
}

void NetConsumer::sendBatch() {
    writer_.send(batch_);
    blocksSent_ += batch_.size();
    batch_.clear();
    rearm();
}

void NetConsumer::logSummary() const {
    auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - startTime_);
    logging::logInfo() << "Blocks sent: " << blocksSent_;
    logging::logInfo() << "Sent " << blocksSent_ << " in " << elapsed.count() / 1000 << " seconds.";
}

}  // namespace blocks
