#include "backup-server/session/VolumeRestore.h"

#include <chrono>
#include <functional>
#include <iomanip>
#include <optional>
#include <sstream>

#include "backup-server/session/BatchPipeline.h"
#include "backup-server/session/PackedRestore.h"
#include "backup-server/session/RestoreUnit.h"
#include "net/SocketException.h"
#include "runtime/Exceptions.h"

namespace backup_server {
namespace {

void expectAck(AgentSession& session) {
    auto reply = session.receiveMessage();
    net::ProtocolStream::verifyCode(net::PROT_ACK, reply->read32());
}

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

// Sends one framed unit after its announcement, which goes under the protocol key and so
// must be written on the session's one sending thread.
void sendRestoreUnit(AgentSession& session, std::uint16_t blockCount, const std::string& unit,
                     bool corrupted, bool sealed = false) {
    auto announcement = session.newMessage();
    announcement->write32(net::PROT_BLOCKS).write16(blockCount);
    announcement->send();
    if (sealed) {
        ++session.sealedBatches();
        session.socket()->sendAll(unit.data(), static_cast<std::int64_t>(unit.size()));
        return;
    }
    if (crypto::BlockSealer* sealer = session.blockSealer()) {
        static thread_local std::string sealed;
        sealRestoreUnit(unit, *sealer, ++session.sealedBatches(), corrupted, sealed);
        session.socket()->sendAll(sealed.data(), static_cast<std::int64_t>(sealed.size()));
        return;
    }
    session.socket()->sendAll(unit.data(), static_cast<std::int64_t>(unit.size()));
}

using UnitFeed = std::function<bool(RestoreUnit&)>;

void sendAllUnits(AgentSession& session, const UnitFeed& next, RestoreSummary& summary) {
    RestoreUnit unit;
    while (next(unit)) {
        sendRestoreUnit(session, unit.blockCount, unit.bytes, unit.corrupted, unit.sealed);
        summary.plainBytes += unit.plainBytes;
        summary.compressedBlocks += unit.compressedBlocks;
        summary.wireBytes += unit.recordBytes;
        summary.blocksSent += unit.blockCount;
        ++summary.batches;
    }
}

// The request, the units next gives, the end of the stream and the agent's answers. stop
// is called before the agent's reason is read, so that nothing still runs for the feed.
RestoreSummary runRestore(AgentSession& session, const RestoreOptions& options,
                          const UnitFeed& next, const std::function<void()>& stop) {
    auto start = std::chrono::steady_clock::now();
    RestoreSummary summary;
    std::size_t firstRecord = session.logRecords().size();
    try {
        startVolumeRestore(session, options);
        sendAllUnits(session, next, summary);
        endRestoreStream(session);
        finishVolumeRestore(session);
    } catch (const net::SocketException& error) {
        stop();
        failWithAgentReason(session, firstRecord, error.what());
    } catch (const runtime::AgentException& error) {
        if (!isAgentFailure(error))
            throw;
        stop();
        failWithAgentReason(session, firstRecord, error.what());
    }
    summary.seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return summary;
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
    session.beginBlockStream(*request, true);
    expectAck(session);
    session.readCodeExpect(net::PROT_RESTORE_READY);
}

std::uint64_t sendRestoreBatch(AgentSession& session, const std::vector<blocks::BlockPtr>& batch,
                               bool corrupt) {
    // One buffer for every batch of the thread, grown once.
    static thread_local std::string unit;
    std::uint64_t recordBytes = frameRestoreUnit(batch, corrupt, unit);
    sendRestoreUnit(session, static_cast<std::uint16_t>(batch.size()), unit, corrupt);
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
    // Started first, so the first batches are read and packed while the agent gets ready.
    // In protocol version 2 the channel seals every record: no Blowfish besides.
    // The packing threads seal the records too, under the keys of the request that is
    // the next message this session sends (the feed below checks that it was).
    RestoreOptions encoding = options;
    if (crypto::SecureChannel* channel = session.channel()) {
        encoding.encryptionType = 0;
        encoding.sealing =
            RestoreOptions::Sealing{channel->sendKeys(), channel->nextSendSequence()};
    }
    std::optional<BatchPipeline> pipeline;
    pipeline.emplace(encoding, source, options.workers);
    return runRestore(
        session, options,
        [&](RestoreUnit& unit) {
            crypto::BlockSealer* sealer = session.blockSealer();
            if (encoding.sealing &&
                (sealer == nullptr || sealer->request() != encoding.sealing->request)) {
                ZENTRAD_THROW(runtime::AgentException,
                              "The restore request is not the message its batches were sealed for");
            }
            return pipeline->next(unit);
        },
        [&] { pipeline.reset(); });
}

RestoreSummary runPackedRestore(AgentSession& session, const RestoreOptions& options,
                                PackedRestoreReader& packed) {
    // Version 2 seals what was packed as it goes out, but an agent in version 2 deciphers
    // no Blowfish: blocks packed enciphered can only be replayed in version 1.
    if (session.channel() != nullptr && packed.options().encryptionType != 0) {
        ZENTRAD_THROW(runtime::AgentException,
                      "A restore packed with encryption can only be replayed in protocol "
                      "version 1 (--protocol 1)");
    }
    return runRestore(
        session, options, [&](RestoreUnit& unit) { return packed.next(unit); }, [] {});
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
