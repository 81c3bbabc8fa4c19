#include "blocks/ZlibStreams.h"

#include "winutil/Exceptions.h"
#include "winutil/Logger.h"

namespace blocks {

DeflateStream::DeflateStream(int level) {
    if (deflateInit(&stream_, level) != Z_OK) {
        ZENTRAD_THROW(winutil::AgentException, "zip stream init failed");
    }
}

DeflateStream::~DeflateStream() {
    // Z_DATA_ERROR only says the last stream was not finished, which a reset stream never is.
    int result = deflateEnd(&stream_);
    if (result != Z_OK && result != Z_DATA_ERROR)
        winutil::logError() << "zip stream cleanup failed";
}

InflateStream::InflateStream() {
    if (inflateInit(&stream_) != Z_OK) {
        ZENTRAD_THROW(winutil::AgentException, "zip stream inflate init failed");
    }
}

InflateStream::~InflateStream() {
    if (inflateEnd(&stream_) != Z_OK)
        winutil::logError() << "zip stream cleanup failed";
}

}  // namespace blocks
