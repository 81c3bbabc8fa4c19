// The data part of one file-restore item on the plain stream:
//   [PROT_KEEPALIVE...] { PROT_FILE_DATA_CHUNK | u64 counter | u32 size | size bytes } ...
//   PROT_FILE_DATA_END
// The reader remembers how far into the item's data it got, so that after a failure at any
// point (before, between or inside chunks, or when the end came early) skip() consumes
// exactly the rest of the item's data and the exchange stays in step with the server.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "net/ProtocolStream.h"

namespace requests {

class FileRestoreOutput;

class FileRestoreData {
  public:
    // Chunk bytes are read in pieces of at most this size, whatever size a chunk announces.
    static constexpr std::uint32_t kPieceBytes = 1u << 20;

    explicit FileRestoreData(net::ProtocolStream& stream) : stream_(stream) {}

    // Forgets the state of the previous item.
    void startItem();

    // Receives bytesLeft bytes of data for the item with fileCounter into output (none for
    // an empty file), counting bytesLeft down. Keep-alives may only precede the first
    // chunk. Throws runtime::AgentException for a chunk out of order (the protocol texts),
    // FileRestoreStreamError when the server reports an error.
    void receive(FileRestoreOutput& output, std::uint64_t& bytesLeft, std::uint64_t fileCounter);

    // After the item's result: reads PROT_FILE_DATA_END (keep-alives before it are skipped).
    void expectDataEnd();

    // After a failed item: discards the rest of the current chunk, then codes and chunks
    // up to and including PROT_FILE_DATA_END, unless that was already read.
    void skip();

  private:
    net::Code readCode();
    // The next chunk's header; its size becomes chunkLeft_ once read.
    void readChunkHeader(std::uint64_t fileCounter, std::uint64_t bytesLeft);
    // Reads the rest of the current chunk, into output when given.
    void readChunkBytes(FileRestoreOutput* output);

    net::ProtocolStream& stream_;
    std::vector<char> buffer_;
    std::uint64_t chunkLeft_ = 0;
    bool dataEndRead_ = false;
};

}  // namespace requests
