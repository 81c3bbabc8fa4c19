#include "backup-server/session/FileRestore.h"

#include <algorithm>
#include <chrono>
#include <fstream>

#include "runtime/Exceptions.h"

namespace backup_server {
namespace {

// Sends one item's data: keep-alives, chunks from the file or the bytes, PROT_FILE_DATA_END.
std::uint64_t sendData(FileRestoreSession& restore, const FileSource& source, std::uint64_t counter,
                       const FileRestoreOptions& options) {
    for (std::uint32_t i = 0; i < options.keepAlivesBeforeData && source.item.fileSize > 0; ++i)
        restore.sendCode(net::PROT_KEEPALIVE);
    std::uint64_t left = source.item.fileSize;
    const std::uint32_t chunkBytes = std::max<std::uint32_t>(options.chunkBytes, 1);
    if (!source.localFile.empty()) {
        std::ifstream in(source.localFile, std::ios::binary);
        std::string chunk;
        while (left > 0) {
            chunk.resize(static_cast<std::size_t>(std::min<std::uint64_t>(left, chunkBytes)));
            if (!in.read(chunk.data(), static_cast<std::streamsize>(chunk.size()))) {
                ZENTRAD_THROW(runtime::AgentException, "Cannot read " + source.localFile.string() +
                                                           ": it changed while "
                                                           "being sent");
            }
            restore.sendChunk(counter, chunk);
            left -= chunk.size();
        }
    } else {
        std::string_view data(source.data);
        for (std::uint64_t at = 0; at < std::min<std::uint64_t>(left, data.size());
             at += chunkBytes)
            restore.sendChunk(counter, data.substr(at, chunkBytes));
    }
    restore.sendCode(net::PROT_FILE_DATA_END);
    return source.item.fileSize;
}

// "File restore finished: R restored, F failed", the agent's last word on the restore.
std::optional<std::string> agentSummary(const AgentSession& session) {
    const auto& records = session.logRecords();
    for (auto record = records.rbegin(); record != records.rend(); ++record) {
        if (record->text.rfind("File restore finished: ", 0) == 0)
            return record->text;
    }
    return std::nullopt;
}

}  // namespace

util::KeyValueMap itemRecord(const FileItem& item) {
    util::KeyValueMap record;
    record.put<util::StringValue>("srcfs", item.srcfs);
    if (item.srcfs == "ntfs") {
        record.put<util::Uint16Value>("mftFlags", item.mftFlags);
        record.put<util::Uint32Value>("attrFlags", item.attrFlags);
    }
    record.put<util::StringValue>("filePath", item.path);
    record.put<util::Uint64Value>("fileSize", item.fileSize);
    record.put<util::Uint64Value>("accessTime", item.accessTime);
    record.put<util::Uint64Value>("modifyTime", item.modifyTime);
    record.put<util::Uint64Value>("createTime", item.createTime);
    record.put<util::BoolValue>("isDirectory", item.isDirectory);
    return record;
}

void FileRestoreSession::begin(const FileRestoreHeader& header) {
    auto request = session_.newMessage();
    request->write32(net::PROT_REQ_FILE_RESTORE);
    request->write32(0).write32(0).write32(0);
    request->write8(header.useVolume ? 1 : 0);
    request->writeString(header.targetPath);
    request->writeString(header.deviceID);
    request->writeString("");
    request->write32(0).write8(0).write8(0);
    request->send();
    auto reply = session_.receiveMessage();
    net::ProtocolStream::verifyCode(net::PROT_ACK, reply->read32());
    sendCode(net::PROT_FILE_RESTORE_BEGIN);
}

void FileRestoreSession::sendItem(const util::KeyValueMap& record, std::uint64_t counter) {
    auto bytes = record.toBytes();
    if (!bytes)
        ZENTRAD_THROW(runtime::AgentException, "File record too large");
    sendItemRecordBytes(*bytes, counter);
}

void FileRestoreSession::sendItemRecordBytes(const std::string& record, std::uint64_t counter) {
    auto message = session_.sendCode(net::PROT_FILE_NEXT);
    message.writeString(record);
    message.writeCode(net::PROT_FILE_COUNTER);
    message.write64(counter);
    message.flush();
}

void FileRestoreSession::sendChunk(std::uint64_t counter, std::string_view bytes) {
    auto message = session_.sendCode(net::PROT_FILE_DATA_CHUNK);
    message.write64(counter);
    message.write32(static_cast<std::uint32_t>(bytes.size()));
    message.write(bytes.data(), static_cast<std::int64_t>(bytes.size()));
    message.flush();
}

void FileRestoreSession::sendCode(net::Code code) {
    session_.sendCode(code).flush();
}

FileResult FileRestoreSession::readResult() {
    net::Code code = session_.readCode();
    FileResult result;
    if (code != net::PROT_FILE_RESTORED && code != net::PROT_FILE_FAILED) {
        ZENTRAD_THROW(runtime::AgentException,
                      "Expected a file result but received (0x" + net::hexCode(code) + ")");
    }
    result.restored = code == net::PROT_FILE_RESTORED;
    result.counter = session_.read64();
    if (!result.restored)
        result.reason = session_.readString();
    return result;
}

void FileRestoreSession::finish() {
    sendCode(net::PROT_FILE_LIST_END);
    session_.readCodeExpect(net::PROT_FILE_RESTORE_DONE);
}

FileRestoreReport restoreFiles(AgentSession& session, const FileRestoreHeader& header,
                               const std::vector<FileSource>& sources,
                               const FileRestoreOptions& options) {
    auto start = std::chrono::steady_clock::now();
    FileRestoreSession restore(session);
    FileRestoreReport report;
    restore.begin(header);
    std::uint64_t counter = 0;
    for (const auto& source : sources) {
        ++counter;
        restore.sendItem(itemRecord(source.item), counter);
        // Every item ends its data with PROT_FILE_DATA_END, a directory's too.
        std::uint64_t bytes = sendData(restore, source, counter, options);
        FileResult result = restore.readResult();
        if (result.counter != counter) {
            ZENTRAD_THROW(runtime::AgentException,
                          "The agent answered for item " + std::to_string(result.counter) +
                              " while item " + std::to_string(counter) + " was restored");
        }
        restore.sendCode(net::PROT_FILE_ITEM_END);
        if (result.restored) {
            ++report.restored;
            report.bytes += source.item.isDirectory ? 0 : bytes;
        } else {
            ++report.failed;
            report.failures.push_back(source.item.path + ": " + result.reason);
        }
    }
    restore.finish();
    report.seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    report.agentSummary = agentSummary(session);
    report.agentSummaryMatches =
        report.agentSummary == "File restore finished: " + std::to_string(report.restored) +
                                   " restored, " + std::to_string(report.failed) + " failed";
    return report;
}

}  // namespace backup_server
