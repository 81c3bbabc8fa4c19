// The batches of a volume restore made ready on several threads: one thread reads the
// source's blocks and forms the batches (options.batchBlocks blocks each, the last one
// shorter), packing threads each take a whole batch, deflate and encipher its blocks and
// frame it with its digest, and the owner takes the framed units strictly in batch order.
// The units are byte for byte those one thread would make from the same source.
//
// Bounded: the reader waits while `workers` batches wait to be packed, and a packing thread
// waits while `workers` finished units wait for the owner, so at most about three batches
// per packing thread are held at once.
//
// Every thread is joined before next() reports the end or an error, and by the destructor,
// whichever way the owner leaves.
#pragma once

#include <cstddef>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "backup-server/session/RestoreUnit.h"
#include "backup-server/session/VolumeRestore.h"
#include "yin/Channel.h"
#include "yin/OrderedWorkers.h"

namespace backup_server {

class BlockEncoder;

class BatchPipeline {
  public:
    // Starts the threads; workers 0 means one packing thread per core. Throws
    // runtime::AgentException before starting any when options ask for enciphering without
    // a key. source is read on the reader thread only and must outlive the pipeline.
    BatchPipeline(const RestoreOptions& options, BlockSource& source, unsigned workers);
    ~BatchPipeline();
    BatchPipeline(const BatchPipeline&) = delete;
    BatchPipeline& operator=(const BatchPipeline&) = delete;

    // The next unit in batch order, replacing unit (whose buffer is kept for a later
    // unit); false after the last one. Throws the error that ended the source or a packing
    // thread, once every thread has been joined.
    bool next(RestoreUnit& unit);

    unsigned workers() const { return workers_; }

  private:
    void read() noexcept;
    void pack() noexcept;
    // Deflates and enciphers a batch's blocks and frames them with the batch's digest.
    // Version 2: sealer seals the records as they are framed.
    void packUnit(BlockEncoder& encoder, crypto::BlockSealer* sealer, RestoreUnit& unit);
    void fail(std::exception_ptr error) noexcept;
    // Aborts the channels, so that no thread waits any longer, and joins every thread.
    void stop() noexcept;
    void joinAll() noexcept;
    [[noreturn]] void rethrowFailure();
    std::string spareBuffer();

    const RestoreOptions options_;  // a copy: the packing threads read it to the end
    BlockSource& source_;
    unsigned workers_;
    std::shared_ptr<yin::Channel<RestoreUnit>> batches_;
    std::shared_ptr<yin::Channel<RestoreUnit>> units_;
    std::shared_ptr<yin::WorkerGroup<RestoreUnit>> group_;
    std::mutex mutex_;  // guards failure_ and spares_
    std::exception_ptr failure_;
    // Buffers of units already sent: a unit's buffer is as large as its batch, and a fresh
    // one per batch would fault its pages in every time.
    std::vector<std::string> spares_;
    std::vector<std::thread> threads_;
};

}  // namespace backup_server
