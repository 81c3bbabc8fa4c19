// The queue type that joins the stages of the backup and restore pipelines (blocks travel
// as shared pointers, so handing one on never copies its data), and the building of the
// several workers of one transforming stage on those queues (see yin/OrderedWorkers.h).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <memory>
#include <thread>
#include <type_traits>
#include <vector>

#include "blocks/Block.h"
#include "yin/Channel.h"
#include "yin/OrderedWorkers.h"
#include "yin/Pipeline.h"

namespace blocks {

using BlockPtr = std::shared_ptr<Block>;
using BlockChannel = yin::Channel<BlockPtr>;
// The shared ends of a transforming stage done by several threads.
using BlockWorkers = yin::WorkerGroup<BlockPtr>;

// Workers per stage: as requested; when 0, the environment variable ZENTRAD_WORKERS (a
// number, for measuring the agent with fewer threads), else one per core. At least 1, at
// most 64.
inline std::size_t workerCount(std::size_t requested) {
    std::size_t count = requested;
    if (count == 0) {
        const char* variable = std::getenv("ZENTRAD_WORKERS");
        count = variable != nullptr ? std::strtoul(variable, nullptr, 10) : 0;
    }
    if (count == 0)
        count = std::thread::hardware_concurrency();
    return std::clamp<std::size_t>(count, 1, 64);
}

// Finished blocks that may wait for an earlier one, per group: enough that a worker
// rarely waits for a slow neighbour, small beside the channels' capacity. With more
// threads than cores a neighbour is often descheduled for a whole time slice while it
// holds the oldest block; a window of a few hundred microseconds of work put the others
// to sleep behind it several thousand times per backup.
inline std::size_t reorderWindow(std::size_t workers) {
    return 64 * workers;
}

// count workers between input and output, each made by make(group) (which emplaces the
// stage in the pipeline and returns it). Not started.
template <typename Make>
auto addWorkers(std::shared_ptr<BlockChannel> input, std::shared_ptr<BlockChannel> output,
                std::size_t count, Make make) {
    auto group = std::make_shared<BlockWorkers>(std::move(input), std::move(output), count,
                                                reorderWindow(count));
    using Stage = std::remove_reference_t<decltype(make(group))>;
    std::vector<Stage*> workers;
    for (std::size_t i = 0; i < count; ++i)
        workers.push_back(&make(group));
    return workers;
}

template <typename Stage>
void startAll(yin::Pipeline& pipeline, const std::vector<Stage*>& workers) {
    for (Stage* worker : workers)
        pipeline.start(*worker);
}

template <typename Stage>
bool anyFailed(const std::vector<Stage*>& workers) {
    return std::any_of(workers.begin(), workers.end(), [](Stage* w) { return w->failed(); });
}

template <typename Stage>
bool allReachedEnd(const std::vector<Stage*>& workers) {
    return std::all_of(workers.begin(), workers.end(),
                       [](Stage* w) { return w->reachedEnd() && !w->failed(); });
}

}  // namespace blocks
