#include "backup-server/VolumeRestore.h"

#include <chrono>
#include <iomanip>
#include <sstream>

#include "blocks/BlockRecord.h"
#include "blocks/Md5Stream.h"
#include "blocks/ZlibStreams.h"
#include "crypto/CipherContext.h"
#include "net/SocketException.h"
#include "runtime/Exceptions.h"

namespace backup_server {
namespace {

void appendCode(std::string& out, net::Code code) {
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(static_cast<char>((code >> shift) & 0xFF));
}

void expectAck(AgentSession& session) {
    auto reply = session.receiveMessage();
    net::ProtocolStream::verifyCode(net::PROT_ACK, reply->read32());
}

// Turns plain blocks into what travels: deflated when asked (and when that helps), then
// enciphered when asked.
class BlockEncoder {
  public:
    explicit BlockEncoder(const RestoreOptions& options)
        : options_(options), deflate_(static_cast<int>(options.compressionLevel)) {
        if (options.encryptionType == 1) {
            key_ = options.requestKey ? options.requestKey : options.sessionKey;
            if (!key_)
                ZENTRAD_THROW(runtime::AgentException, "No key to encipher the blocks with");
        }
    }

    void encode(blocks::Block& block) {
        if (options_.compressionType == 1)
            block.deflate(deflate_);
        if (key_)
            block.encrypt(*key_, cipher_);
    }

  private:
    const RestoreOptions& options_;
    blocks::DeflateStream deflate_;
    crypto::CipherContext cipher_;
    std::optional<crypto::KeyMsg> key_;
};

// Reads what the agent said before it closed the connection: its ERROR records, the
// cause first.
[[noreturn]] void failWithAgentReason(AgentSession& session, std::size_t firstRecord,
                                      const std::string& what) {
    try {
        for (int i = 0; i < 100000; ++i)
            session.readCode();
    } catch (const std::exception&) {
        // Expected: the agent closes the connection after its error records, which ends
        // the reading; the reason is taken from the records read until then.
    }
    std::string reason;
    const auto& records = session.logRecords();
    for (std::size_t i = firstRecord; i < records.size(); ++i) {
        if (records[i].code == net::PROT_LOG_ERROR)
            reason += (reason.empty() ? "" : " / ") + records[i].text;
    }
    ZENTRAD_THROW(runtime::AgentException, "Restore failed: " + (reason.empty() ? what : reason));
}

bool isAgentFailure(const runtime::AgentException& error) {
    return error.message() == "Remote host has reported an error and closed the connection.";
}

void sendAllBlocks(AgentSession& session, const RestoreOptions& options, BlockEncoder& encoder,
                   BlockSource& source, RestoreSummary& summary) {
    std::vector<blocks::BlockPtr> batch;
    for (;;) {
        blocks::BlockPtr block = source.next();
        bool more = block != nullptr;
        if (more) {
            summary.plainBytes += block->length();
            encoder.encode(*block);
            summary.compressedBlocks += block->compressed() ? 1 : 0;
            batch.push_back(std::move(block));
        }
        if (batch.empty())
            return;
        if (more && batch.size() < options.batchBlocks)
            continue;
        bool corrupt = options.corruptBatch && *options.corruptBatch == summary.batches;
        summary.wireBytes += sendRestoreBatch(session, batch, corrupt);
        summary.blocksSent += batch.size();
        ++summary.batches;
        batch.clear();
    }
}

}  // namespace

void startVolumeRestore(AgentSession& session, const RestoreOptions& options) {
    auto request = session.newMessage();
    request->write32(net::PROT_REQ_RESTORE).write32(0).write32(0).write32(0);
    request->writeString(options.deviceID).writeString("").writeString("");
    request->write32(options.blockSize).write64(0).write32(0);
    request->write32(options.maxBlocks).write32(options.encryptionType);
    request->write8(0).write8(0);
    request->write8(options.requestKey ? 1 : 0);
    if (options.requestKey)
        request->writeKey(*options.requestKey);
    request->send();
    expectAck(session);
    session.readCodeExpect(net::PROT_RESTORE_READY);
}

std::uint64_t sendRestoreBatch(AgentSession& session, const std::vector<blocks::BlockPtr>& batch,
                               bool corrupt) {
    auto announcement = session.newMessage();
    announcement->write32(net::PROT_BLOCKS).write16(static_cast<std::uint16_t>(batch.size()));
    announcement->send();
    // One buffer for every batch of the thread, grown once: a new one per batch would be
    // grown by doubling, copied on the way and its fresh pages faulted in each time.
    static thread_local std::string unit;
    unit.clear();
    std::size_t bytes = 4 + 4 + blocks::kDigestBytes;
    for (const auto& block : batch)
        bytes += blocks::kBlockRecordHeaderBytes + block->length();
    unit.reserve(bytes);
    appendCode(unit, net::PROT_BLOCK_STREAM);
    blocks::Md5Stream digest;
    for (const auto& block : batch) {
        auto header = blocks::encodeBlockRecordHeader(*block);
        digest.update(header.data(), header.size());
        digest.update(block->getData(), block->length());
        unit.append(reinterpret_cast<const char*>(header.data()), header.size());
        unit.append(reinterpret_cast<const char*>(block->getData()), block->length());
    }
    std::uint64_t recordBytes = unit.size() - 4;
    if (corrupt && recordBytes > 0)
        unit.back() = static_cast<char>(unit.back() ^ 0x01);
    appendCode(unit, net::PROT_BLOCK_STREAM_DIGEST);
    auto sum = digest.finish();
    unit.append(reinterpret_cast<const char*>(sum.data()), sum.size());
    session.socket()->sendAll(unit.data(), static_cast<std::int64_t>(unit.size()));
    return recordBytes;
}

void endRestoreStream(AgentSession& session) {
    auto end = session.newMessage();
    end->write32(net::PROT_RESTORE_END).write32(0);
    end->send();
}

void finishVolumeRestore(AgentSession& session) {
    expectAck(session);
    session.readCodeExpect(net::PROT_RESTORE_DONE);
}

RestoreSummary runVolumeRestore(AgentSession& session, const RestoreOptions& options,
                                BlockSource& source) {
    auto start = std::chrono::steady_clock::now();
    RestoreSummary summary;
    BlockEncoder encoder(options);
    std::size_t firstRecord = session.logRecords().size();
    try {
        startVolumeRestore(session, options);
        sendAllBlocks(session, options, encoder, source, summary);
        endRestoreStream(session);
        finishVolumeRestore(session);
    } catch (const net::SocketException& error) {
        failWithAgentReason(session, firstRecord, error.what());
    } catch (const runtime::AgentException& error) {
        if (!isAgentFailure(error))
            throw;
        failWithAgentReason(session, firstRecord, error.what());
    }
    summary.seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return summary;
}

std::string describeRestore(const RestoreSummary& summary) {
    double megabytes = static_cast<double>(summary.plainBytes) / (1024.0 * 1024.0);
    double rate = summary.seconds > 0 ? megabytes / summary.seconds : 0;
    std::ostringstream text;
    text << std::fixed << std::setprecision(1) << "restored " << summary.blocksSent << " blocks ("
         << megabytes << " MiB, " << summary.compressedBlocks << " compressed, "
         << static_cast<double>(summary.wireBytes) / (1024.0 * 1024.0) << " MiB on the wire) in "
         << summary.batches << " batches, " << std::setprecision(2) << summary.seconds << " s, "
         << std::setprecision(1) << rate << " MiB/s";
    return text.str();
}

}  // namespace backup_server
