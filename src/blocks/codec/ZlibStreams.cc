#include "blocks/codec/ZlibState.h"

#include "logging/Logger.h"
#include "runtime/Exceptions.h"

namespace blocks {

DeflateStream::DeflateStream(int level) : state_(std::make_unique<State>()) {
    if (deflateInit(&state_->stream, level) != Z_OK) {
        ZENTRAD_THROW(runtime::AgentException, "zip stream init failed");
    }
}

DeflateStream::~DeflateStream() {
    // Z_DATA_ERROR only says the last stream was not finished, which a reset stream never is.
    int result = deflateEnd(&state_->stream);
    if (result != Z_OK && result != Z_DATA_ERROR)
        logging::logError() << "zip stream cleanup failed";
}

InflateStream::InflateStream() : state_(std::make_unique<State>()) {
    if (inflateInit(&state_->stream) != Z_OK) {
        ZENTRAD_THROW(runtime::AgentException, "zip stream inflate init failed");
    }
}

InflateStream::~InflateStream() {
    if (inflateEnd(&state_->stream) != Z_OK)
        logging::logError() << "zip stream cleanup failed";
}

}  // namespace blocks
