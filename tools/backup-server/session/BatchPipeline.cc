#include "backup-server/session/BatchPipeline.h"

#include <optional>
#include <utility>

#include "backup-server/session/BlockEncoder.h"
#include "runtime/Exceptions.h"

namespace backup_server {
namespace {

unsigned chooseWorkers(unsigned workers) {
    if (workers != 0)
        return workers;
    unsigned cores = std::thread::hardware_concurrency();
    return cores == 0 ? 1 : cores;
}

}  // namespace

BatchPipeline::BatchPipeline(const RestoreOptions& options, BlockSource& source, unsigned workers)
    : options_(options),
      source_(source),
      workers_(chooseWorkers(workers)),
      batches_(std::make_shared<yin::Channel<RestoreUnit>>(workers_)),
      units_(std::make_shared<yin::Channel<RestoreUnit>>(workers_)),
      group_(
          std::make_shared<yin::WorkerGroup<RestoreUnit>>(batches_, units_, workers_, workers_)) {
    // A missing key must fail the restore before anything is sent, not in a packing thread.
    BlockEncoder check(options_);
    try {
        threads_.reserve(workers_ + 1);
        threads_.emplace_back([this] { read(); });
        for (unsigned i = 0; i < workers_; ++i)
            threads_.emplace_back([this] { pack(); });
    } catch (...) {
        stop();
        throw;
    }
}

BatchPipeline::~BatchPipeline() {
    stop();
}

bool BatchPipeline::next(RestoreUnit& unit) {
    if (unit.bytes.capacity() != 0) {
        std::lock_guard<std::mutex> lock(mutex_);
        spares_.push_back(std::move(unit.bytes));
    }
    try {
        units_->take(unit);
        return true;
    } catch (const yin::EndOfStreamException&) {
        // Every packing thread has ended, and it closed the units only after the reader
        // closed the batches; a thread that failed would have aborted them instead.
        joinAll();
        return false;
    } catch (const yin::AbortException&) {
        stop();
        rethrowFailure();
    }
}

void BatchPipeline::read() noexcept {
    try {
        const std::size_t size = options_.batchBlocks == 0 ? 1 : options_.batchBlocks;
        for (std::uint64_t batch = 0;; ++batch) {
            RestoreUnit unit;
            unit.batch = batch;
            unit.blocks.reserve(size);
            while (unit.blocks.size() < size) {
                blocks::BlockPtr block = source_.next();
                if (block == nullptr)
                    break;
                unit.blocks.push_back(std::move(block));
            }
            bool last = unit.blocks.size() < size;
            if (!unit.blocks.empty())
                batches_->put(std::move(unit));
            if (last)
                break;
        }
        batches_->close(true);
    } catch (const yin::AbortException&) {
        // The owner stopped, or a packing thread failed and keeps its own error.
    } catch (...) {
        fail(std::current_exception());
    }
}

void BatchPipeline::packUnit(BlockEncoder& encoder, crypto::BlockSealer* sealer,
                             RestoreUnit& unit) {
    for (const auto& block : unit.blocks) {
        unit.plainBytes += block->length();
        encoder.encode(*block);
        unit.compressedBlocks += block->compressed() ? 1 : 0;
    }
    bool corrupt = options_.corruptBatch && *options_.corruptBatch == unit.batch;
    unit.bytes = spareBuffer();
    // Batches go out in batch order, so the unit's place in the stream is known here.
    unit.recordBytes =
        sealer ? frameSealedRestoreUnit(unit.blocks, *sealer, unit.batch + 1, corrupt, unit.bytes)
               : frameRestoreUnit(unit.blocks, corrupt, unit.bytes);
    unit.corrupted = corrupt;
    unit.sealed = sealer != nullptr;
    unit.blockCount = static_cast<std::uint16_t>(unit.blocks.size());
    // The blocks' buffers go back now, not when the unit has been sent.
    unit.blocks.clear();
}

void BatchPipeline::pack() noexcept {
    try {
        BlockEncoder encoder(options_);
        std::optional<crypto::BlockSealer> sealer;
        if (options_.sealing)
            sealer.emplace(options_.sealing->keys, options_.sealing->request);
        std::vector<RestoreUnit> units;
        for (;;) {
            std::uint64_t sequence = group_->take(units);
            for (auto& unit : units)
                packUnit(encoder, sealer ? &*sealer : nullptr, unit);
            group_->deliver(sequence, units);
        }
    } catch (const yin::EndOfStreamException&) {
        group_->workerEnded();
    } catch (const yin::AbortException&) {
        // Another thread failed and keeps the error, or the owner stopped.
    } catch (...) {
        fail(std::current_exception());
    }
}

std::string BatchPipeline::spareBuffer() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (spares_.empty())
        return {};
    std::string buffer = std::move(spares_.back());
    spares_.pop_back();
    return buffer;
}

void BatchPipeline::fail(std::exception_ptr error) noexcept {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!failure_)
            failure_ = std::move(error);
    }
    group_->abort();
}

void BatchPipeline::stop() noexcept {
    group_->abort();
    joinAll();
}

void BatchPipeline::joinAll() noexcept {
    for (auto& thread : threads_) {
        if (thread.joinable())
            thread.join();
    }
}

void BatchPipeline::rethrowFailure() {
    std::exception_ptr failure;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        failure = failure_;
    }
    if (failure)
        std::rethrow_exception(failure);
    ZENTRAD_THROW(runtime::AgentException, "The restore's batches ended early");
}

}  // namespace backup_server
