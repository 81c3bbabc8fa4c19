// The queue type that joins the stages of the backup and restore pipelines: blocks travel
// as shared pointers, so handing one on never copies its data.
#pragma once

#include <memory>

#include "blocks/Block.h"
#include "yin/Channel.h"
#include "yin/OrderedWorkers.h"

namespace blocks {

using BlockPtr = std::shared_ptr<Block>;
using BlockChannel = yin::Channel<BlockPtr>;
// The shared ends of a transforming stage done by several threads.
using BlockWorkers = yin::WorkerGroup<BlockPtr>;

}  // namespace blocks
