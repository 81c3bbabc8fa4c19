// The queue type that joins the stages of the backup and restore pipelines: blocks travel
// as shared pointers, so handing one on never copies its data.
#pragma once

#include <memory>

#include "blocks/Block.h"
#include "yin/Channel.h"

namespace blocks {

using BlockPtr = std::shared_ptr<Block>;
using BlockChannel = yin::Channel<BlockPtr>;

}  // namespace blocks
