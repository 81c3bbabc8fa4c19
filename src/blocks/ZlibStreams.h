// The per-stage state that deflating and inflating blocks reuse for every block
// (Block::deflate, Block::inflate). The blocks are zlib streams on the wire either way;
// the build picks the library that makes them (codec/LibdeflateCodec.cc when libdeflate
// is found, which is faster on blocks of a cluster at every level, else codec/ZlibCodec.cc).
#pragma once

#include <memory>

namespace blocks {

class DeflateStream {
  public:
    // Throws runtime::AgentException when the level is refused (valid levels are -1,
    // zlib's default, to 9) or there is no memory.
    explicit DeflateStream(int level);
    ~DeflateStream();
    DeflateStream(const DeflateStream&) = delete;
    DeflateStream& operator=(const DeflateStream&) = delete;

    struct State;
    State& state() { return *state_; }

  private:
    std::unique_ptr<State> state_;
};

class InflateStream {
  public:
    // Throws runtime::AgentException when zlib cannot set up the stream.
    InflateStream();
    ~InflateStream();
    InflateStream(const InflateStream&) = delete;
    InflateStream& operator=(const InflateStream&) = delete;

    struct State;
    State& state() { return *state_; }

  private:
    std::unique_ptr<State> state_;
};

}  // namespace blocks
