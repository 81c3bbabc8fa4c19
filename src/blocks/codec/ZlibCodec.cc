// Deflating and inflating block data with the stage's reusable zlib stream.
#include <string>

#include "blocks/codec/ZlibState.h"

#include "blocks/Block.h"
#include "logging/Logger.h"
#include "runtime/Exceptions.h"

namespace blocks {
namespace {

void logDeflateFailure(int result) {
    if (result == Z_STREAM_ERROR) {
        logging::logError() << "compression stream data structure error during deflate";
    } else if (result == Z_BUF_ERROR) {
        logging::logError() << "buffer error during deflate";
    } else {
        logging::logError() << "unknown error during deflate: " << result;
    }
}

void logInflateFailure(int result) {
    switch (result) {
        case Z_DATA_ERROR:
            logging::logError() << "corrupt data detected during inflate";
            break;
        case Z_STREAM_ERROR:
            logging::logError() << "compression stream data structure error during inflate";
            break;
        case Z_MEM_ERROR:
            logging::logError() << "ran out of memory during inflate";
            break;
        case Z_BUF_ERROR:
            logging::logError() << "output buffer too small for inflated data";
            break;
        default:
            logging::logError() << "unknown error during inflate";
    }
}

void pointStream(z_stream* stream, const unsigned char* in, std::uint64_t inLength,
                 unsigned char* out, std::uint64_t outLength) {
    // zlib never writes through next_in; its interface simply lacks the const.
    stream->next_in = const_cast<unsigned char*>(in);
    stream->avail_in = static_cast<uInt>(inLength);
    stream->next_out = out;
    stream->avail_out = static_cast<uInt>(outLength);
}

}  // namespace

void Block::deflate(DeflateStream& stream) {
    if (compressed_)
        return;
    BlockBuffer out = std::make_shared<unsigned char[]>(size_);
    z_stream* z = &stream.state().stream;
    pointStream(z, data_.get(), length_, out.get(), size_);
    int result = ::deflate(z, Z_FINISH);
    std::uint64_t produced = size_ - z->avail_out;
    if (result != Z_STREAM_END && result != Z_OK) {
        logDeflateFailure(result);
        if (deflateReset(z) != Z_OK)
            ZENTRAD_THROW(runtime::AgentException, "error during deflateReset");
        ZENTRAD_THROW(runtime::AgentException, "error during block deflation");
    }
    // Z_OK means the output did not fit: the block stays raw, as it does without a gain.
    if (result == Z_STREAM_END && produced < length_) {
        replaceData(std::move(out), produced, size_);
        compressed_ = true;
    }
    if (deflateReset(z) != Z_OK)
        ZENTRAD_THROW(runtime::AgentException, "error during deflateReset");
}

void Block::inflate(InflateStream& stream, BlockBuffer into) {
    if (!compressed_)
        return;
    BlockBuffer out = into ? std::move(into) : std::make_shared<unsigned char[]>(size_);
    z_stream* z = &stream.state().stream;
    pointStream(z, data_.get(), length_, out.get(), size_);
    int result = ::inflate(z, Z_FINISH);
    if (result != Z_STREAM_END) {
        logInflateFailure(result);
        if (inflateReset(z) != Z_OK)
            ZENTRAD_THROW(runtime::AgentException, "error during inflateReset");
        ZENTRAD_THROW(runtime::AgentException, "error during block inflation");
    }
    replaceData(std::move(out), size_ - z->avail_out, size_);
    compressed_ = false;
    if (inflateReset(z) != Z_OK)
        ZENTRAD_THROW(runtime::AgentException, "error during inflateReset");
}

}  // namespace blocks
