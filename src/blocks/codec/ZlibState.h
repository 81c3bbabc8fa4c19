// What the zlib build keeps per stream (see ZlibStreams.h).
#pragma once

#include <zlib.h>

#include "blocks/ZlibStreams.h"

namespace blocks {

struct DeflateStream::State {
    z_stream stream{};
};

struct InflateStream::State {
    z_stream stream{};
};

}  // namespace blocks
