// Owners of the zlib streams a compressing or decompressing stage reuses for every block.
// Each is set up once and reset after every block (Block::deflate, Block::inflate).
#pragma once

#include <zlib.h>

namespace blocks {

class DeflateStream {
  public:
    // Throws winutil::AgentException "zip stream init failed" when zlib refuses the level
    // (valid levels are -1 to 9) or has no memory.
    explicit DeflateStream(int level);
    // Logs "zip stream cleanup failed" at ERROR when zlib reports a failure.
    ~DeflateStream();
    DeflateStream(const DeflateStream&) = delete;
    DeflateStream& operator=(const DeflateStream&) = delete;

    z_stream* get() { return &stream_; }

  private:
    z_stream stream_{};
};

class InflateStream {
  public:
    // Throws winutil::AgentException "zip stream inflate init failed".
    InflateStream();
    // Logs "zip stream cleanup failed" at ERROR when zlib reports a failure.
    ~InflateStream();
    InflateStream(const InflateStream&) = delete;
    InflateStream& operator=(const InflateStream&) = delete;

    z_stream* get() { return &stream_; }

  private:
    z_stream stream_{};
};

}  // namespace blocks
