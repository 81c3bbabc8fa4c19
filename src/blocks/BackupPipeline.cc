#include "blocks/BackupPipeline.h"

#include <string>
#include <vector>

#include "blocks/BlockChannel.h"
#include "blocks/BufferPool.h"
#include "blocks/CompressionStage.h"
#include "blocks/DiskProducer.h"
#include "blocks/EncryptionStage.h"
#include "logging/Logger.h"
#include "runtime/Exceptions.h"
#include "runtime/RunState.h"
#include "yin/Pipeline.h"

namespace blocks {
namespace {

void checkSettings(const BackupPipelineSettings& settings) {
    if (settings.compressionType > 1) {
        ZENTRAD_THROW(runtime::AgentException,
                      "Unkown compression type: " + std::to_string(settings.compressionType));
    }
    if (settings.encryptionType > 1) {
        ZENTRAD_THROW(runtime::AgentException,
                      "Unkown encryption type: " + std::to_string(settings.encryptionType));
    }
    if (settings.encryptionType == 1 && settings.sessionKey == nullptr)
        ZENTRAD_THROW(runtime::AgentException, "No backup session key for encrypted blocks");
}

DiskProducer& addReader(yin::Pipeline& pipeline, const BackupPipelineInput& input,
                        std::shared_ptr<BlockChannel> output,
                        const std::shared_ptr<logging::NetLogger>& logger) {
    auto& reader =
        pipeline.emplace<DiskProducer>(*input.reader, *input.usedBlocks, std::move(output),
                                       pipeline.latch(), logger, input.changes);
    reader.setSkippedMap(input.skipped);
    if (input.changes == nullptr)
        reader.setBlockSums(input.blockSums);
    return reader;
}

bool succeeded(const yin::Stage& stage, bool failed) {
    return stage.reachedEnd() && !failed;
}

BackupPipelineResult runStages(const BackupPipelineInput& input,
                               const BackupPipelineSettings& settings, net::ProtocolStream& stream,
                               const crypto::KeyMsg& protocolKey) {
    std::shared_ptr<logging::NetLogger> logger = logging::Logger::get().getNetLogger();
    auto first = std::make_shared<BlockChannel>();
    auto second = std::make_shared<BlockChannel>();
    auto third = std::make_shared<BlockChannel>();
    bool compress = settings.compressionType == 1;
    // In protocol version 2 the channel seals every record as it is sent; Blowfish would
    // only cost time.
    bool encrypt = settings.encryptionType == 1 && stream.channel() == nullptr;

    // Stages are built before any thread starts: a constructor that throws leaves nothing
    // running (the pipeline's destructor cancels the latch either way).
    yin::Pipeline pipeline;
    DiskProducer& reader = addReader(pipeline, input, first, logger);
    // Built even without compression: a level zlib refuses fails the request either way.
    auto compressors = addWorkers(
        first, second, compress ? workerCount(settings.workers) : 1, [&](auto group) -> auto& {
            return pipeline.emplace<CompressionStage>(settings.compressionLevel, group,
                                                      pipeline.latch(), logger);
        });
    auto tail = compress ? second : first;
    std::vector<EncryptionStage*> encryptors;
    if (encrypt) {
        encryptors = addWorkers(
            tail, third, workerCount(settings.workers), [&](auto group) -> auto& {
                return pipeline.emplace<EncryptionStage>(*settings.sessionKey, group,
                                                         pipeline.latch(), logger);
            });
        tail = third;
    }
    auto& sender = pipeline.emplace<NetConsumer>(stream, protocolKey, tail, pipeline.latch(),
                                                 logger, settings.keepAliveInterval);
    pipeline.start(reader);
    if (compress)
        startAll(pipeline, compressors);
    startAll(pipeline, encryptors);
    pipeline.start(sender);
    pipeline.run();

    bool ok = reader.finished() && !reader.failed() && succeeded(sender, sender.failed()) &&
              (!compress || allReachedEnd(compressors)) && allReachedEnd(encryptors);
    if (!ok) {
        ZENTRAD_CHECK_RUNNING();
        ZENTRAD_THROW(runtime::AgentException, "Backup failed");
    }
    return {sender.blocksSent(), reader.blocksRead(), reader.duplicatesSkipped()};
}

}  // namespace

BackupPipelineResult runBackupPipeline(const BackupPipelineInput& input,
                                       const BackupPipelineSettings& settings,
                                       net::ProtocolStream& stream,
                                       const crypto::KeyMsg& protocolKey) {
    ZENTRAD_CHECK_RUNNING();
    // The buffers the stages shared are of no use to an idle agent.
    struct ReleaseBuffers {
        ~ReleaseBuffers() {
            runBuffers().clear();
            blockBuffers().clear();
        }
    } release;
    try {
        checkSettings(settings);
        return runStages(input, settings, stream, protocolKey);
    } catch (const std::exception& error) {
        logging::logError() << "Caught exception while sending blocks: " << error.what();
        throw;
    }
}

}  // namespace blocks
