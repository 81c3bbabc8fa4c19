// Puts into a blob store from a few threads at once, with a bounded number of objects held:
// what keeps an upload to object storage from waiting out one round trip per object.
//
// put() queues a copy of the object and returns at once while fewer than `parallel` objects
// wait; otherwise it waits for room. The first failure stops the rest: later puts are not
// started, and put() and finish() throw it. Memory: at most 2 x parallel objects.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

#include "backup-server/objects/BlobStore.h"

namespace backup_server::objects {

class ParallelPuts {
  public:
    ParallelPuts(BlobStore& store, unsigned parallel);
    // Waits for the puts under way; a failure not yet reported by finish() is dropped, so
    // call finish() to know that everything was stored.
    ~ParallelPuts();
    ParallelPuts(const ParallelPuts&) = delete;
    ParallelPuts& operator=(const ParallelPuts&) = delete;

    void put(std::string key, std::string bytes);
    // Like put, but an object already under key is left as it is (a look first): for
    // content-named objects whose store writes an object whole or not at all.
    void putUnlessPresent(std::string key, std::string bytes);
    // The bytes of the objects actually stored so far (not those found present).
    std::uint64_t bytesPut();
    // Waits until every queued put is done; throws the first failure (a BlobError, or
    // whatever the store threw).
    void finish();

  private:
    void work();
    void rethrowFailure();

    BlobStore& store_;
    std::size_t limit_;
    std::mutex mutex_;
    std::condition_variable changed_;
    struct Job {
        std::string key;
        std::string bytes;
        bool unlessPresent = false;
    };
    void enqueue(Job job);

    std::deque<Job> queue_;
    std::uint64_t bytesPut_ = 0;
    std::size_t running_ = 0;
    std::exception_ptr failure_;
    bool stopping_ = false;
    std::vector<std::thread> workers_;
};

}  // namespace backup_server::objects
