// Turns the plain blocks of a restore into what travels: digested (the record's MD5 is
// always that of the data sent), deflated when asked (and when that helps), then
// enciphered when asked. One encoder per thread: it keeps the deflate stream
// and the cipher's set-up context between blocks.
#pragma once

#include <optional>

#include "backup-server/session/VolumeRestore.h"
#include "blocks/Block.h"
#include "blocks/ZlibStreams.h"
#include "crypto/CipherContext.h"
#include "crypto/KeyMsg.h"

namespace backup_server {

class BlockEncoder {
  public:
    // Throws runtime::AgentException when enciphering is asked without a key. options must
    // outlive the encoder.
    explicit BlockEncoder(const RestoreOptions& options);

    void encode(blocks::Block& block);

  private:
    const RestoreOptions& options_;
    blocks::DeflateStream deflate_;
    crypto::CipherContext cipher_;
    std::optional<crypto::KeyMsg> key_;
};

}  // namespace backup_server
