// Writes batches of the backup block stream. A batch of n blocks (1 to 256) is three
// messages:
//   PROT_ENCRYPTED unit whose plain text is PROT_BLOCKS | u16 n
//   PROT_BLOCK_STREAM | n records (29-byte header, data)           (plain)
//   PROT_BLOCK_STREAM_DIGEST | MD5 of the n records as sent        (plain)
// In protocol version 2 the announcement is sealed by the stream's channel and each
// record's data is sealed by the request's BlockSealer (the header's length counts the
// tag); the framing and the batch digest are as above, and log records and keep-alives go
// in sealed units.
// Every code is preceded by the calling thread's queued network log records, as for any
// code the agent writes. The bytes are gathered into a few large socket writes; what goes
// on the wire is the same as writing each piece on its own. Belongs to one thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "blocks/BlockChannel.h"
#include "blocks/Md5Stream.h"
#include "crypto/CipherContext.h"
#include "crypto/KeyMsg.h"
#include "net/Codes.h"
#include "net/ProtocolStream.h"

namespace blocks {

class BlockBatchWriter {
  public:
    static constexpr std::size_t kMaxBatch = 256;
    // Gathered bytes go out once they reach this much.
    static constexpr std::size_t kWriteBytes = 1 << 20;

    // The stream must outlive the writer.
    BlockBatchWriter(net::ProtocolStream& stream, const crypto::KeyMsg& protocolKey);

    // Sends one batch of 1 to kMaxBatch blocks. Throws net::SocketException for the wire,
    // runtime::AgentException for an empty or oversized batch or a cipher failure.
    void send(const std::vector<BlockPtr>& batch);
    // A short message holding PROT_KEEPALIVE.
    void sendKeepAlive();

  private:
    void appendCode(net::Code code);
    void appendAnnouncement(std::size_t count);
    void appendRecord(const Block& block, std::uint32_t position);
    void writeGathered();

    net::ProtocolStream& stream_;
    crypto::KeyMsg protocolKey_;
    crypto::CipherContext context_;
    Md5Stream digest_;
    std::string gathered_;
    std::optional<crypto::BlockSealer> sealer_;  // version 2
    std::uint64_t batches_ = 0;
};

}  // namespace blocks
