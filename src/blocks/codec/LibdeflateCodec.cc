// Deflating and inflating block data with libdeflate: whole-buffer calls fit blocks of a
// cluster, and beat zlib's streaming interface at every level on them. The output is a
// zlib stream (header, deflate data, Adler-32), so a peer inflating with zlib reads it,
// and streams zlib made inflate here.
#include <libdeflate.h>

#include <string>

#include "blocks/Block.h"
#include "blocks/BufferPool.h"
#include "logging/Logger.h"
#include "runtime/Exceptions.h"

namespace blocks {

struct DeflateStream::State {
    libdeflate_compressor* compressor = nullptr;
};

struct InflateStream::State {
    libdeflate_decompressor* decompressor = nullptr;
};

DeflateStream::DeflateStream(int level) : state_(std::make_unique<State>()) {
    // zlib's scale: -1 is its default (6); libdeflate's levels above 9 are not zlib's.
    if (level == -1)
        level = 6;
    if (level >= 0 && level <= 9)
        state_->compressor = libdeflate_alloc_compressor(level);
    if (state_->compressor == nullptr)
        ZENTRAD_THROW(runtime::AgentException, "zip stream init failed");
}

DeflateStream::~DeflateStream() {
    libdeflate_free_compressor(state_->compressor);
}

InflateStream::InflateStream() : state_(std::make_unique<State>()) {
    state_->decompressor = libdeflate_alloc_decompressor();
    if (state_->decompressor == nullptr)
        ZENTRAD_THROW(runtime::AgentException, "zip stream inflate init failed");
}

InflateStream::~InflateStream() {
    libdeflate_free_decompressor(state_->decompressor);
}

void Block::deflate(DeflateStream& stream) {
    if (compressed_ || length_ == 0)
        return;
    // Room for one byte less than the raw data: a block that does not shrink stays raw
    // (libdeflate then returns 0), as it does with zlib. The buffer is one of the pool's,
    // all of one capacity whatever the block's length, so any of them serves any block.
    BlockBuffer out = blockBuffers().take(size_ + kCipherOverhead);
    std::size_t produced = length_ > 1
                               ? libdeflate_zlib_compress(stream.state().compressor, data_.get(),
                                                          length_, out.get(), length_ - 1)
                               : 0;
    if (produced > 0 && produced < length_) {
        replaceData(std::move(out), produced, size_ + kCipherOverhead);
        compressed_ = true;
    }
}

void Block::inflate(InflateStream& stream, BlockBuffer into) {
    if (!compressed_)
        return;
    BlockBuffer out =
        into ? std::move(into) : std::make_shared_for_overwrite<unsigned char[]>(size_);
    std::size_t produced = 0;
    libdeflate_result result = libdeflate_zlib_decompress(stream.state().decompressor, data_.get(),
                                                          length_, out.get(), size_, &produced);
    if (result != LIBDEFLATE_SUCCESS) {
        if (result == LIBDEFLATE_INSUFFICIENT_SPACE)
            logging::logError() << "output buffer too small for inflated data";
        else
            logging::logError() << "corrupt data detected during inflate";
        ZENTRAD_THROW(runtime::AgentException, "error during block inflation");
    }
    replaceData(std::move(out), produced, size_);
    compressed_ = false;
}

}  // namespace blocks
