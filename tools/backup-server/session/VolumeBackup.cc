#include "backup-server/session/VolumeBackup.h"
#include "backup-server/store/OperatorValues.h"

#include <chrono>
#include <iomanip>
#include <memory>
#include <optional>
#include <sstream>
#include <vector>

#include "backup-server/session/AgentKeyFiles.h"
#include "backup-server/session/BlockStreamReceiver.h"
#include "backup-server/store/PointBuilder.h"
#include "backup-server/store/StoreAgents.h"
#include "backup-server/store/StoreError.h"
#include "blocks/Md5Stream.h"
#include "platform/ByteOrder.h"
#include "runtime/Exceptions.h"

namespace backup_server {
namespace {

[[noreturn]] void refuse(const std::string& what) {
    ZENTRAD_THROW(runtime::AgentException, "Backup error: " + what);
}

std::uint64_t countBits(const blocks::BlockMap& map) {
    std::uint64_t count = 0;
    for (std::uint64_t i = 0; i < map.capacity(); ++i)
        count += map.bit(i) ? 1 : 0;
    return count;
}

bool sendRequest(AgentSession& session, const BackupOptions& options, const std::string& key) {
    auto request = session.newMessage();
    request->write32(net::PROT_REQ_BACKUP);
    request->write32(options.checksums ? 1 : 0);
    request->writeString(options.deviceID);
    request->write32(options.compressionType);
    request->write32(options.compressionLevel);
    request->write32(options.encryptionType);
    request->write32(0);
    request->write32(0);
    request->writeBytes(key);
    request->send();
    session.beginBlockStream(*request, false);
    auto reply = session.receiveMessage();
    net::Code code = reply->read32();
    if (code == net::PROT_BUSY)
        return false;
    net::ProtocolStream::verifyCode(net::PROT_ACK, code);
    return true;
}

void readVolumeInfo(net::EncryptedMessage& info, BackupSummary& summary) {
    std::uint32_t batch = info.read32();
    summary.blockSize = info.read32();
    summary.blockCount = info.read64();
    summary.driveLetter = info.readString();
    if (batch == 0 || batch > BlockStreamReceiver::kMaxBatch)
        refuse("batch size " + std::to_string(batch));
    if (summary.blockSize < 512 || summary.blockSize > kMaxBlockSize || summary.blockCount == 0 ||
        summary.blockCount > (1ull << 40)) {
        refuse("impossible volume geometry");
    }
}

// Reads the next code that is not a keep-alive (the agent sends those while it takes the
// snapshot).
net::Code readCodeSkippingKeepAlives(AgentSession& session, BackupSummary& summary) {
    net::Code code = session.readCode();
    for (; code == net::PROT_KEEPALIVE; code = session.readCode())
        ++summary.keepAlives;
    return code;
}

blocks::BlockMap receiveBlockMap(AgentSession& session, BackupSummary& summary) {
    std::uint64_t blockCount = summary.blockCount;
    net::ProtocolStream::verifyCode(net::PROT_BACKUP_BLOCK_MAP,
                                    readCodeSkippingKeepAlives(session, summary));
    // The size is checked before anything is allocated: the count came from the agent.
    std::uint32_t bytes = session.read32();
    if (bytes != (blockCount + 7) / 8)
        refuse("block map of " + std::to_string(bytes) + " bytes");
    blocks::BlockMap map(blockCount);
    std::string data(bytes, '\0');
    session.readBytes(data.data(), bytes);
    auto digestMessage = session.receiveMessage();
    net::ProtocolStream::verifyCode(net::PROT_BLOCK_MAP_DIGEST, digestMessage->read32());
    std::string digest = digestMessage->readBlock(blocks::kDigestBytes);
    blocks::Md5Stream md5;
    md5.update(data.data(), data.size());
    blocks::BlockDigest actual = md5.finish();
    if (digest != std::string(actual.begin(), actual.end()))
        refuse("block map digest mismatch");
    map.appendBits(reinterpret_cast<const unsigned char*>(data.data()), blockCount);
    return map;
}

// Reads the block stream up to the new journal key.
std::string receiveBlocks(AgentSession& session, BlockStreamReceiver& receiver,
                          BackupSummary& summary, Progress* progress) {
    for (;;) {
        net::Code code = readCodeSkippingKeepAlives(session, summary);
        net::ProtocolStream::verifyCode(net::PROT_ENCRYPTED, code);
        net::EncryptedMessage message(session, session.protocolKey());
        message.receive();
        net::Code inner = message.read32();
        if (inner == net::PROT_NEW_JOURNAL_KEY)
            return message.readBlock(VolumeStore::kJournalKeyBytes);
        net::ProtocolStream::verifyCode(net::PROT_BLOCKS, inner);
        receiver.receiveBatch(message.read16());
        if (progress != nullptr)
            progress->update(receiver.position(), receiver.wireBytes());
    }
}

// Every used block must be sent now or held from before; the skipped map names exactly
// the used blocks that were not sent when digests were compared.
void checkCoverage(const BackupSummary& summary, const blocks::BlockMap& held,
                   const blocks::BlockMap& skipped) {
    for (std::uint64_t i = 0; i < summary.blockCount; ++i) {
        bool used = summary.used.bit(i);
        bool sent = summary.sent.bit(i);
        if (skipped.bit(i) && (!used || sent))
            refuse("block #" + std::to_string(i) + " reported skipped but not a skipped block");
        if (used && !sent && (held.capacity() != summary.blockCount || !held.bit(i)))
            refuse("used block #" + std::to_string(i) + " was neither sent nor held before");
    }
}

// In protocol version 2 the agent seals every record instead of enciphering it.
bool enciphersBlocks(AgentSession& session, const BackupOptions& options) {
    return options.encryptionType == 1 && session.channel() == nullptr;
}

// The digests of the point's used blocks in ascending order, a chunk at a time.
class DigestWalk {
  public:
    explicit DigestWalk(PointReader* point) : point_(point) {}

    // The next used block with a readable digest; false at the end.
    bool next(std::uint64_t& index, blocks::BlockDigest& digest) {
        if (point_ == nullptr)
            return false;
        const PointGeometry& geometry = point_->geometry();
        // Block numbers travel in 32 bits: a larger volume gets no digests.
        if (geometry.blockCount > 0xFFFFFFFFull)
            return false;
        for (; next_ < geometry.blockCount; ++next_) {
            if (!point_->used().bit(next_))
                continue;
            std::uint64_t chunk = next_ / geometry.chunkBlocks;
            if (chunk != chunk_ && !loadChunk(chunk)) {
                next_ = (chunk + 1) * geometry.chunkBlocks - 1;
                continue;
            }
            index = next_++;
            digest = digests_[index % geometry.chunkBlocks];
            return true;
        }
        return false;
    }

  private:
    bool loadChunk(std::uint64_t chunk) {
        chunk_ = chunk;
        std::string problem;
        if (point_->chunkDigests(chunk, digests_, problem))
            return true;
        ++unreadable_;
        return false;
    }

    PointReader* point_;
    std::uint64_t next_ = 0;
    std::uint64_t chunk_ = ~std::uint64_t{0};
    std::vector<blocks::BlockDigest> digests_;
    std::uint64_t unreadable_ = 0;
};

const char* kindOf(const BackupSummary& summary, bool hadBase) {
    if (!hadBase)
        return "full";  // nothing held: every used block came now
    if (summary.digestsRequested)
        return "digest-compared";
    return summary.presentedKey ? "incremental" : "full";
}

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Where a backup goes. The exchange with the agent (runBackup) is the same for every
// target; a target says only what it offers the agent and what it does with what comes.
class BackupTarget {
  public:
    virtual ~BackupTarget() = default;
    // The journal key to present: the agent sends only what changed since that key.
    virtual std::string journalKey() const = 0;
    // The point whose digests the agent compares with when it asks (null: none, so every
    // used block comes).
    virtual PointReader* digestSource() const = 0;
    // The volume and its used blocks are known (in summary): where its blocks go.
    virtual std::unique_ptr<BlockStreamReceiver> receiver(AgentSession& session,
                                                          const BackupSummary& summary) = 0;
    // The agent has completed (summary holds the counts and the seconds so far): checks
    // that every used block is accounted for, and keeps the backup.
    virtual void complete(BackupSummary& summary, const blocks::BlockMap& skipped,
                          const std::string& newKey) = 0;
};

// A new restore point built on the volume's latest one.
class StoreTarget : public BackupTarget {
  public:
    // Takes the store's and the volume's locks, fetches the backup key when blocks come
    // enciphered and chooses the journal key; warnings go into summary.
    StoreTarget(AgentSession& session, VolumeStore& volume, const BackupOptions& options,
                BackupSummary& summary)
        : volume_(volume),
          options_(options),
          protocol_(session.protocolVersion()),
          store_(volume.folder(), Store::Access::write, "backup " + options.deviceID, options.keys),
          volumeLock_(StoreLock::volume(store_.localFolder(), volume.agent(), options.deviceID,
                                        "backup " + options.deviceID)) {
        admitAgent(store_.catalogue(), volume.agent(), session.reachedAgent(),
                   volume.folder().string());
        std::optional<PointRecord> latest = openLatest(summary);
        if (enciphersBlocks(session, options))
            sessionKey_ = openBackupKey(fetchKeys(session));
        chooseKey(latest, summary);
    }

    std::string journalKey() const override { return key_; }
    PointReader* digestSource() const override { return base_.get(); }

    std::unique_ptr<BlockStreamReceiver> receiver(AgentSession& session,
                                                  const BackupSummary& summary) override {
        builder_ = std::make_unique<PointBuilder>(
            store_, options_.deviceID, geometryFor(summary.blockSize, summary.blockCount),
            std::move(base_));
        builder_->setUsed(summary.used);
        return std::make_unique<BlockStreamReceiver>(session, *builder_, summary.used,
                                                     sessionKey_ ? &*sessionKey_ : nullptr);
    }

    void complete(BackupSummary& summary, const blocks::BlockMap& skipped,
                  const std::string& newKey) override {
        checkCoverage(summary, builder_->held(), skipped);
        summary.kind = kindOf(summary, builder_->hasBase());
        PointRecord details;
        details.agent = volume_.agent();
        details.created = static_cast<std::int64_t>(
            std::chrono::system_clock::to_time_t(std::chrono::system_clock::now()));
        details.kind = summary.kind;
        details.usedBlocks = summary.usedBlocks;
        details.sentBlocks = summary.blocksSent;
        details.wireBytes = summary.wireBytes;
        details.journalKey = newKey;
        details.protocol = protocol_;
        details.seconds = summary.seconds;
        PointRecord added = builder_->commit(details);
        summary.point = added.id;
        summary.storedBytes = added.storedBytes;
        volume_.refresh();
    }

  private:
    // The volume's latest point, opened as the base (none when it cannot be read).
    std::optional<PointRecord> openLatest(BackupSummary& summary) {
        std::optional<PointRecord> latest =
            store_.catalogue().latest(volume_.agent(), options_.deviceID);
        try {
            if (latest)
                base_ = std::make_unique<PointReader>(store_, *latest);
        } catch (const StoreError& error) {
            // A damaged latest point must not stop the volume from being backed up: this
            // backup builds on nothing and so becomes a full one.
            summary.warnings.push_back(error.message() + "; this backup will be a full one");
            latest.reset();
        }
        return latest;
    }

    void chooseKey(const std::optional<PointRecord>& latest, BackupSummary& summary) {
        std::optional<std::string> storedKey;
        std::size_t absent = base_ ? base_->absentChunks().size() : 0;
        if (absent != 0) {
            // The agent sends only what changed since the key it is shown, and the base can
            // no longer give the rest of those chunks: without the key it compares digests,
            // and the chunks that are gone have none to compare with, so their blocks come
            // again.
            summary.warnings.push_back(std::to_string(absent) + " chunks of point " +
                                       std::to_string(latest->id) +
                                       " are missing or were set aside as damaged; their "
                                       "blocks are sent again");
        } else if (latest && latest->journalKey.size() == VolumeStore::kJournalKeyBytes) {
            storedKey = latest->journalKey;
        }
        const std::string& forced = options_.journalKeyOverride;
        key_ = !forced.empty()
                   ? forced
                   : storedKey.value_or(std::string(VolumeStore::kJournalKeyBytes, '\0'));
        summary.presentedKey = storedKey.has_value() && forced.empty();
    }

    VolumeStore& volume_;
    const BackupOptions& options_;
    std::uint32_t protocol_;  // the version the point's blocks arrive in
    Store store_;
    StoreLock volumeLock_;
    std::unique_ptr<PointReader> base_;  // until the builder takes it
    std::optional<crypto::KeyMsg> sessionKey_;
    std::string key_;
    std::unique_ptr<PointBuilder> builder_;
};

// The null target: the block stream is checked and dropped, nothing is offered or stored,
// so every backup is a full one.
class SinkTarget : public BackupTarget {
  public:
    explicit SinkTarget(const BackupOptions& options) : options_(options) {}

    std::string journalKey() const override {
        return std::string(VolumeStore::kJournalKeyBytes, '\0');
    }
    PointReader* digestSource() const override { return nullptr; }

    std::unique_ptr<BlockStreamReceiver> receiver(AgentSession& session,
                                                  const BackupSummary& summary) override {
        return std::make_unique<BlockStreamReceiver>(session, summary.used, summary.blockSize,
                                                     enciphersBlocks(session, options_));
    }

    void complete(BackupSummary& summary, const blocks::BlockMap&, const std::string&) override {
        summary.kind = "full";
        if (summary.blocksSent + summary.skippedBlocks != summary.usedBlocks)
            refuse("sent and skipped blocks do not add up to the used ones");
    }

  private:
    const BackupOptions& options_;
};

// One backup exchange: the request, the digests when the agent asks for them, the volume
// and its used-block map, the block stream up to the new journal key, the skipped-block
// map and the completion, then the target's check and keeping.
void runBackup(AgentSession& session, const BackupOptions& options, BackupTarget& target,
               BackupSummary& summary, std::chrono::steady_clock::time_point start) {
    if (!sendRequest(session, options, target.journalKey())) {
        summary.busy = true;
        return;
    }
    auto message = session.receiveMessage();
    net::Code code = message->read32();
    if (code == net::PROT_BLOCKSUMS_REQUEST) {
        summary.digestsRequested = true;
        summary.digestsServed = serveBlockSums(session, target.digestSource());
        message = session.receiveMessage();
        code = message->read32();
    }
    net::ProtocolStream::verifyCode(net::PROT_BACKUP_VOLUME_INFO, code);
    readVolumeInfo(*message, summary);
    summary.used = receiveBlockMap(session, summary);
    if (options.progress != nullptr)
        options.progress->setTotal(summary.blockCount);
    std::unique_ptr<BlockStreamReceiver> receiver = target.receiver(session, summary);
    std::string newKey = receiveBlocks(session, *receiver, summary, options.progress);
    blocks::BlockMap skipped = receiveBlockMap(session, summary);
    net::ProtocolStream::verifyCode(net::PROT_BACKUP_COMPLETE,
                                    readCodeSkippingKeepAlives(session, summary));
    summary.sent = receiver->sent();
    summary.usedBlocks = countBits(summary.used);
    summary.skippedBlocks = countBits(skipped);
    summary.blocksSent = receiver->blocksSent();
    summary.compressedBlocks = receiver->compressedBlocks();
    summary.wireBytes = receiver->wireBytes();
    summary.batches = receiver->batches();
    summary.seconds = secondsSince(start);
    target.complete(summary, skipped, newKey);
    summary.seconds = secondsSince(start);
}

}  // namespace

std::uint64_t serveBlockSums(AgentSession& session, PointReader* point, std::uint32_t batchSize) {
    session.sendCode(net::PROT_ACK).flush();
    auto announcement = session.newMessage();
    announcement->write32(0).write64(point ? point->geometry().blockCount : 0).write32(batchSize);
    announcement->send();
    DigestWalk walk(point);
    std::uint64_t served = 0;
    bool more = true;
    while (more) {
        std::string records;
        std::uint32_t count = 0;
        std::uint64_t index = 0;
        blocks::BlockDigest digest{};
        while (count < batchSize && (more = walk.next(index, digest))) {
            platform::appendBigEndian(records, index, 4);
            records.append(reinterpret_cast<const char*>(digest.data()), digest.size());
            ++count;
        }
        if (count == 0)
            break;
        blocks::Md5Stream md5;
        md5.update(records.data(), records.size());
        blocks::BlockDigest batchDigest = md5.finish();
        auto batch = session.sendCode(net::PROT_BLOCKSUMS);
        batch.write32(count);
        batch.writeBytes(records);
        batch.writeCode(net::PROT_BLOCKSUMS_DIGEST);
        // One write (in version 2 sealed units): a second small one would wait for the
        // agent's delayed acknowledgement.
        batch.writeBytes(std::string(batchDigest.begin(), batchDigest.end()));
        batch.flush();
        session.readCodeExpect(net::PROT_BLOCKSUMS_ACK);
        served += count;
    }
    session.sendCode(net::PROT_BLOCKSUMS_END).flush();
    return served;
}

BackupSummary runVolumeBackup(AgentSession& session, VolumeStore& volume,
                              const BackupOptions& options) {
    auto start = std::chrono::steady_clock::now();
    BackupSummary summary;
    StoreTarget target(session, volume, options, summary);
    runBackup(session, options, target, summary, start);
    return summary;
}

BackupSummary runSinkBackup(AgentSession& session, const BackupOptions& options) {
    auto start = std::chrono::steady_clock::now();
    BackupSummary summary;
    SinkTarget target(options);
    runBackup(session, options, target, summary, start);
    return summary;
}
std::string describeBackup(const BackupSummary& summary) {
    const std::string& kind = summary.kind;
    double usedMiB = static_cast<double>(summary.usedBlocks) * summary.blockSize / (1 << 20);
    std::ostringstream text;
    text << std::fixed << std::setprecision(1) << kind << ": " << summary.usedBlocks
         << " used blocks of " << summary.blockCount << " (" << summary.blockSize
         << " bytes), sent " << summary.blocksSent << " (" << summary.compressedBlocks
         << " compressed, " << summary.wireBytes << " bytes in " << summary.batches
         << " batches), skipped " << summary.skippedBlocks << ", digests served "
         << summary.digestsServed << ", keep-alives " << summary.keepAlives << ", "
         << std::setprecision(2) << summary.seconds << " s, "
         << (summary.seconds > 0 ? usedMiB / summary.seconds : 0.0) << " MB/s of used data";
    if (summary.point != 0)
        text << ", point " << summary.point << " (" << humanBytes(summary.storedBytes)
             << " stored)";
    return text.str();
}

}  // namespace backup_server
