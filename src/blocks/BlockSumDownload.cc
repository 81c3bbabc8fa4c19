#include "blocks/BlockSumDownload.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "blocks/Md5Stream.h"
#include "net/Codes.h"
#include "net/EncryptedMessage.h"
#include "platform/ByteOrder.h"
#include "runtime/Exceptions.h"
#include "runtime/RunState.h"

namespace blocks {
namespace {

constexpr std::uint64_t kRecordBytes = 4 + kDigestBytes;
// Records read from the socket at a time: bounds memory whatever batch size is announced.
constexpr std::uint64_t kRecordsPerRead = 4096;

std::uint32_t batchSizeFromServer(net::ServerConnection& socket) {
    net::EncryptedMessage request(socket, socket.protocolKey());
    request.write32(net::PROT_BLOCKSUMS_REQUEST);
    request.send();
    socket.readCodeExpect(net::PROT_ACK);
    net::EncryptedMessage announcement(socket, socket.protocolKey());
    announcement.receiveExpected();
    announcement.read32();
    announcement.read64();
    return announcement.read32();
}

void storeRecords(const std::vector<unsigned char>& buffer, std::uint64_t count,
                  BlockSumManager& manager) {
    for (std::uint64_t r = 0; r < count; ++r) {
        const unsigned char* record = buffer.data() + r * kRecordBytes;
        std::uint64_t block = platform::loadU32(record);
        BlockDigest digest;
        std::copy(record + 4, record + kRecordBytes, digest.begin());
        manager.addDigest(block, digest);
    }
}

void receiveBatch(net::ServerConnection& socket, std::uint32_t batchSize,
                  BlockSumManager& manager) {
    std::uint32_t count = socket.read32();
    if (count > batchSize) {
        ZENTRAD_THROW(runtime::AgentException, "Block sum batch of (" + std::to_string(count) +
                                                   ") digests exceeds the announced batch size (" +
                                                   std::to_string(batchSize) + ")");
    }
    std::vector<unsigned char> buffer(std::min<std::uint64_t>(count, kRecordsPerRead) *
                                      kRecordBytes);
    Md5Stream md5;
    for (std::uint64_t done = 0; done < count;) {
        std::uint64_t piece = std::min<std::uint64_t>(count - done, kRecordsPerRead);
        socket.readBytes(buffer.data(), static_cast<std::int64_t>(piece * kRecordBytes));
        md5.update(buffer.data(), static_cast<std::size_t>(piece * kRecordBytes));
        storeRecords(buffer, piece, manager);
        done += piece;
    }
    net::ProtocolStream::verifyCode(net::PROT_BLOCKSUMS_DIGEST, socket.readCode());
    BlockDigest sent{};
    socket.readBytes(sent.data(), sent.size());
    // Version 2 brings the batch in sealed units, so a mismatch there is the sender's
    // fault; version 1's digest is read and left alone, as ever.
    if (socket.channel() != nullptr && md5.finish() != sent) {
        ZENTRAD_THROW(runtime::AgentException,
                      "Block sum batch does not match the digest the server sent");
    }
    socket.sendCode(net::PROT_BLOCKSUMS_ACK).flush();
}

}  // namespace

void downloadBlockSums(net::ServerConnection& socket, BlockSumManager& manager) {
    ZENTRAD_CHECK_RUNNING();
    std::uint32_t batchSize = batchSizeFromServer(socket);
    while (runtime::isRunning()) {
        net::Code code = socket.readCode();
        if (code == net::PROT_BLOCKSUMS_END)
            return;
        net::ProtocolStream::verifyCode(net::PROT_BLOCKSUMS, code);
        receiveBatch(socket, batchSize, manager);
    }
    ZENTRAD_THROW_SHUTDOWN();
}

}  // namespace blocks
