// One transforming stage done by several threads at once. The workers share the stage's
// input and output channels through a WorkerGroup: each takes the next few items (a
// group, numbered in input order), transforms them on its own, and hands them to the
// group, which puts the items on the output in exactly the order they were taken. So the
// stream after the stage is the stream one worker would make, whatever the threads'
// timing. Taking and handing on a group at a time costs one lock and at most one wake-up
// per group instead of per item.
//
// Bounded: a worker whose group ends more than `window` items ahead of the oldest
// unfinished item waits, so at most `window` finished items wait for their turn, besides
// what the channels hold and the group being put on the output. A group is never larger
// than the window shared out among the workers.
//
// Handing on: whoever finishes the oldest item puts every ready item on the output,
// without holding the group's lock while the output is full, so the other workers go on
// finishing items meanwhile; one worker at a time puts, which keeps the order.
//
// Ending: the output closes when the last worker has ended (the stream ended for all of
// them). A worker that fails or aborts aborts both channels and wakes every waiting
// worker, so the whole pipeline ends, as it does for a one-thread stage.
#pragma once

#include <algorithm>
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
    // Items one worker takes at most at once.
    static constexpr std::size_t kMostPerTake = 8;

    WorkerGroup(std::shared_ptr<Channel<T>> input, std::shared_ptr<Channel<T>> output,
                std::size_t workers, std::size_t window)
        : input_(std::move(input)),
          output_(std::move(output)),
          slots_(window == 0 ? 1 : window),
          perTake_(std::clamp<std::size_t>(slots_.size() / (workers == 0 ? 1 : workers), 1,
                                           kMostPerTake)),
          active_(static_cast<int>(workers)) {}

    // Appends the next items (at least one, at most a group) to the empty items and returns
    // the sequence number of the first; throws as Channel::take.
    std::uint64_t take(std::vector<T>& items) {
        std::lock_guard<std::mutex> lock(takeMutex_);
        input_->takeSome(items, perTake_, 1);
        std::uint64_t first = nextTake_;
        nextTake_ += items.size();
        return first;
    }

    // Puts items, numbered first, first + 1, ..., on the output once every earlier item is
    // there, and leaves items empty. Throws AbortException once the group is aborted.
    void deliver(std::uint64_t first, std::vector<T>& items) {
        std::unique_lock<std::mutex> lock(mutex_);
        turn_.wait(lock,
                   [&] { return aborted_ || first + items.size() <= nextOut_ + slots_.size(); });
        if (aborted_) {
            items.clear();
            throw AbortException("thread forced to end");
        }
        for (std::size_t i = 0; i < items.size(); ++i)
            slots_[(first + i) % slots_.size()].emplace(std::move(items[i]));
        items.clear();
        // While another worker puts, it hands on these too once it has put its own; the
        // oldest item not yet put is never in a slot unless someone is putting.
        if (putting_ || first != nextOut_)
            return;
        putting_ = true;
        try {
            while (slots_[nextOut_ % slots_.size()].has_value()) {
                for (auto* slot = &slots_[nextOut_ % slots_.size()]; slot->has_value();
                     slot = &slots_[nextOut_ % slots_.size()]) {
                    ready_.push_back(std::move(**slot));
                    slot->reset();
                    ++nextOut_;
                }
                turn_.notify_all();
                lock.unlock();
                // Only the putting worker touches ready_; an abort of the output wakes a
                // put that waits for room.
                output_->putAll(ready_);
                lock.lock();
            }
        } catch (...) {
            if (!lock.owns_lock())
                lock.lock();
            putting_ = false;
            throw;
        }
        putting_ = false;
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
    std::mutex mutex_;  // guards slots_, nextOut_, putting_ and aborted_
    std::condition_variable turn_;
    std::vector<std::optional<T>> slots_;
    const std::size_t perTake_;
    std::uint64_t nextOut_ = 0;
    bool putting_ = false;
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
        // A group that fails half-way is dropped whole: the pipeline aborts.
        struct Drop {
            std::vector<T>& items;
            ~Drop() { items.clear(); }
        } drop{items_};
        std::uint64_t first = group_->take(items_);
        for (T& item : items_)
            transform(item);
        group_->deliver(first, items_);
    }
    void abandonInput() final { group_->abortInput(); }

    std::shared_ptr<WorkerGroup<T>> group_;
    std::vector<T> items_;
    bool ended_ = false;
};

}  // namespace yin
