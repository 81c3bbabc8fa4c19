#include "blocks/RestorePipeline.h"

#include <memory>
#include <vector>

#include "blocks/BlockChannel.h"
#include "blocks/DecryptionStage.h"
#include "blocks/DiskConsumer.h"
#include "blocks/InflateStage.h"
#include "logging/Logger.h"
#include "runtime/Exceptions.h"
#include "yin/Pipeline.h"

namespace blocks {

RestoreStreamResult receiveBlockStream(net::ProtocolStream& connection,
                                       net::EncryptedMessage& message,
                                       const BlockStreamFormat& requested,
                                       const std::optional<crypto::KeyMsg>& key,
                                       RestorePartition& partition, std::uint32_t workerThreads) {
    // In protocol version 2 the channel seals every record; no block is enciphered besides.
    BlockStreamFormat format = requested;
    if (connection.channel() != nullptr)
        format.encrypted = false;
    if (format.encrypted && !key)
        ZENTRAD_THROW(runtime::AgentException, "No key to decipher the blocks with");
    auto netLogger = logging::Logger::get().getNetLogger();
    ReceiverInterrupt interrupt(connection.socket());
    yin::Pipeline pipeline;
    auto received = std::make_shared<BlockChannel>();
    auto& producer = pipeline.emplace<NetProducer>(received, pipeline.latch(), netLogger,
                                                   connection, message, format, interrupt);
    pipeline.start(producer);
    std::shared_ptr<BlockChannel> tail = received;
    std::size_t workers = workerCount(workerThreads);
    std::vector<DecryptionStage*> decryptors;
    if (format.encrypted) {
        auto deciphered = std::make_shared<BlockChannel>();
        decryptors = addWorkers(
            tail, deciphered, workers, [&](auto group) -> auto& {
                return pipeline.emplace<DecryptionStage>(group, pipeline.latch(), netLogger, *key,
                                                         interrupt);
            });
        startAll(pipeline, decryptors);
        tail = deciphered;
    }
    auto inflated = std::make_shared<BlockChannel>();
    auto inflaters = addWorkers(
        tail, inflated, workers, [&](auto group) -> auto& {
            return pipeline.emplace<InflateStage>(group, pipeline.latch(), netLogger, interrupt,
                                                  producer.buffers());
        });
    startAll(pipeline, inflaters);
    auto& writer =
        pipeline.emplace<DiskConsumer>(inflated, pipeline.latch(), netLogger, partition, interrupt);
    pipeline.start(writer);
    pipeline.run();

    RestoreStreamResult result;
    result.succeeded =
        producer.finished() && !anyFailed(decryptors) && !anyFailed(inflaters) && !writer.failed();
    result.blocksReceived = producer.blocksReceived();
    result.batchesReceived = producer.batchesReceived();
    result.blocksWritten = partition.blocksWritten();
    return result;
}

}  // namespace blocks
