// An MD5 computed over data fed in pieces (a batch of block records as it is written or
// read), or over one piece after another (the blocks of a run). The context and its
// algorithm are set up once per stream, not per digest. One stream belongs to one thread.
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
    // The digest of length bytes alone (nothing may have been fed since the last finish).
    BlockDigest digestOf(const void* data, std::size_t length) {
        update(data, length);
        return finish();
    }

  private:
    void start();
    void restart();

    crypto::MdCtxPtr context_;
};

}  // namespace blocks
