#include "backup-server/objects/ParallelPuts.h"

namespace backup_server::objects {

ParallelPuts::ParallelPuts(BlobStore& store, unsigned parallel)
    : store_(store), limit_(std::max(1u, parallel)) {
    for (std::size_t i = 0; i < limit_; ++i)
        workers_.emplace_back([this] { work(); });
}

ParallelPuts::~ParallelPuts() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    for (std::thread& worker : workers_)
        worker.join();
}

void ParallelPuts::rethrowFailure() {
    if (failure_) {
        std::exception_ptr failure = failure_;
        std::rethrow_exception(failure);
    }
}

void ParallelPuts::put(std::string key, std::string bytes) {
    enqueue(Job{std::move(key), std::move(bytes), false});
}

void ParallelPuts::putUnlessPresent(std::string key, std::string bytes) {
    enqueue(Job{std::move(key), std::move(bytes), true});
}

void ParallelPuts::enqueue(Job job) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return failure_ || queue_.size() < limit_; });
    rethrowFailure();
    queue_.push_back(std::move(job));
    changed_.notify_all();
}

std::uint64_t ParallelPuts::bytesPut() {
    std::lock_guard lock(mutex_);
    return bytesPut_;
}

void ParallelPuts::finish() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return queue_.empty() && running_ == 0; });
    rethrowFailure();
}

void ParallelPuts::work() {
    std::unique_lock lock(mutex_);
    for (;;) {
        changed_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
        if (queue_.empty())
            return;  // stopping, and nothing left to do
        Job job = std::move(queue_.front());
        queue_.pop_front();
        ++running_;
        lock.unlock();
        std::exception_ptr failure;
        bool stored = false;
        try {
            if (!job.unlessPresent || !store_.head(job.key)) {
                store_.put(job.key, job.bytes);
                stored = true;
            }
        } catch (...) {
            failure = std::current_exception();
        }
        lock.lock();
        --running_;
        if (stored)
            bytesPut_ += job.bytes.size();
        if (failure && !failure_) {
            failure_ = failure;
            queue_.clear();
        }
        changed_.notify_all();
    }
}

}  // namespace backup_server::objects
