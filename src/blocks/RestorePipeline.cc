#include "blocks/RestorePipeline.h"

#include <memory>

#include "blocks/DecryptionCP.h"
#include "blocks/DiskConsumer.h"
#include "blocks/InflateCP.h"
#include "winutil/Exceptions.h"
#include "winutil/Logger.h"
#include "yin/Pipeline.h"

namespace blocks {

RestoreStreamResult receiveBlockStream(Net::ProtocolStream& connection,
                                       Net::EncryptedMessage& message,
                                       const BlockStreamFormat& format,
                                       const std::optional<crypto::KeyMsg>& key,
                                       RestorePartition& partition) {
    if (format.encrypted && !key)
        ZENTRAD_THROW(winutil::AgentException, "No key to decipher the blocks with");
    auto netLogger = winutil::Logger::get().getNetLogger();
    ReceiverInterrupt interrupt(connection.socket());
    yin::Pipeline pipeline;
    auto received = std::make_shared<BlockChannel>();
    auto& producer = pipeline.emplace<NetProducer>(received, pipeline.latch(), netLogger,
                                                   connection, message, format, interrupt);
    pipeline.start(producer);
    std::shared_ptr<BlockChannel> tail = received;
    DecryptionCP* decryptor = nullptr;
    if (format.encrypted) {
        auto deciphered = std::make_shared<BlockChannel>();
        decryptor = &pipeline.emplace<DecryptionCP>(tail, deciphered, pipeline.latch(), netLogger,
                                                    *key, interrupt);
        pipeline.start(*decryptor);
        tail = deciphered;
    }
    auto inflated = std::make_shared<BlockChannel>();
    auto& inflater =
        pipeline.emplace<InflateCP>(tail, inflated, pipeline.latch(), netLogger, interrupt);
    pipeline.start(inflater);
    auto& writer =
        pipeline.emplace<DiskConsumer>(inflated, pipeline.latch(), netLogger, partition, interrupt);
    pipeline.start(writer);
    pipeline.run();

    RestoreStreamResult result;
    result.succeeded = producer.finished() && !(decryptor && decryptor->failed()) &&
                       !inflater.failed() && !writer.failed();
    result.blocksReceived = producer.blocksReceived();
    result.batchesReceived = producer.batchesReceived();
    result.blocksWritten = partition.blocksWritten();
    return result;
}

}  // namespace blocks
