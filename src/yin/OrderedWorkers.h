// One transforming stage done by several threads at once. The workers share the stage's
// input and output channels through a WorkerGroup: each takes the next item with its
// sequence number, transforms it on its own, and hands it to the group, which puts the
// items on the output in exactly the order they were taken. So the stream after the stage
// is the stream one worker would make, whatever the threads' timing.
//
// Bounded: a worker that finishes an item more than `window` items ahead of the oldest
// unfinished one waits, so at most `window` finished items wait for their turn, besides
// what the channels hold.
//
// Ending: the output closes when the last worker has ended (the stream ended for all of
// them). A worker that fails or aborts aborts both channels and wakes every waiting
// worker, so the whole pipeline ends, as it does for a one-thread stage.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "yin/Channel.h"
#include "yin/Stage.h"

namespace yin {

template <typename T>
class WorkerGroup {
  public:
    WorkerGroup(std::shared_ptr<Channel<T>> input, std::shared_ptr<Channel<T>> output,
                std::size_t workers, std::size_t window)
        : input_(std::move(input)),
          output_(std::move(output)),
          slots_(window == 0 ? 1 : window),
          active_(static_cast<int>(workers)) {}

    // The next item and its sequence number; throws as Channel::take.
    std::uint64_t take(T& item) {
        std::lock_guard<std::mutex> lock(takeMutex_);
        input_->take(item, std::nullopt);
        return nextTake_++;
    }

    // Puts the item on the output once every earlier item is there. Throws
    // abort_exception once the group is aborted.
    void deliver(std::uint64_t sequence, T item) {
        std::unique_lock<std::mutex> lock(mutex_);
        turn_.wait(lock, [&] { return aborted_ || sequence < nextOut_ + slots_.size(); });
        if (aborted_)
            throw abort_exception("thread forced to end");
        slots_[sequence % slots_.size()].emplace(std::move(item));
        if (sequence != nextOut_)
            return;
        // The oldest item is here: this worker hands on every item that is ready, together.
        // The lock is held across the put so that groups keep their order; an abort of the
        // output wakes a put that waits for room.
        for (auto* slot = &slots_[nextOut_ % slots_.size()]; slot->has_value();
             slot = &slots_[nextOut_ % slots_.size()]) {
            ready_.push_back(std::move(**slot));
            slot->reset();
            ++nextOut_;
        }
        turn_.notify_all();
        output_->putAll(ready_);
    }

    // A worker has ended; the last one closes both channels.
    void workerEnded() {
        if (active_.fetch_sub(1) == 1) {
            input_->close(true);
            output_->close(true);
        }
    }

    void abort() {
        input_->abort(true);
        output_->abort(true);
        std::lock_guard<std::mutex> lock(mutex_);
        aborted_ = true;
        turn_.notify_all();
    }

    void abortInput() { input_->abort(true); }

  private:
    std::shared_ptr<Channel<T>> input_;
    std::shared_ptr<Channel<T>> output_;
    std::mutex takeMutex_;  // held across a take and nextTake_, so numbers follow input order
    std::uint64_t nextTake_ = 0;
    std::mutex mutex_;  // guards slots_, nextOut_ and aborted_
    std::condition_variable turn_;
    std::vector<std::optional<T>> slots_;
    std::uint64_t nextOut_ = 0;
    std::vector<T> ready_;
    bool aborted_ = false;
    std::atomic<int> active_;
};

// One worker of a group; subclasses transform an item in place.
template <typename T>
class OrderedWorker : public Stage {
  public:
    OrderedWorker(std::shared_ptr<WorkerGroup<T>> group, Latch& latch)
        : Stage(latch, {"Caught exception in consumerProducer: ",
                        "Caught unknown exception in ConsumerProducer::consumeProduce"}),
          group_(std::move(group)) {}

    void close(bool b) override {
        closing_ = b;
        if (b && !ended_) {
            ended_ = true;
            group_->workerEnded();
        }
    }
    void abort(bool b) override {
        aborting_ = b;
        if (b)
            group_->abort();
    }

  protected:
    virtual void transform(T& item) = 0;

  private:
    void step() final {
        T item{};
        std::uint64_t sequence = group_->take(item);
        transform(item);
        group_->deliver(sequence, std::move(item));
    }
    void abandonInput() final { group_->abortInput(); }

    std::shared_ptr<WorkerGroup<T>> group_;
    bool ended_ = false;
};

}  // namespace yin
