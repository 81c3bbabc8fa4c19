// An MD5 computed over data fed in pieces (a batch of block records as it is written or
// read). One stream belongs to one thread.
#pragma once

#include <cstddef>

#include "blocks/Block.h"
#include "crypto/OpenSslPtr.h"

namespace blocks {

class Md5Stream {
  public:
    // Throws runtime::AgentException when the digest cannot be set up (the default
    // provider is not loaded).
    Md5Stream();

    // Throws runtime::AgentException when the library fails.
    void update(const void* data, std::size_t length);
    // The digest of everything fed since construction or the last finish; the stream
    // then starts afresh.
    BlockDigest finish();

  private:
    void restart();

    crypto::MdCtxPtr context_;
};

}  // namespace blocks
