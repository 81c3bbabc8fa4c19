// A bounded blocking queue between two pipeline stages: one putting thread, one taking
// thread (or several that take turns, never waiting at once). Items are inserted at the
// front and removed from the back (first in, first out). close() marks the end of the
// stream: the taker still drains every queued item before it sees EndOfStreamException. abort()
// tears the pipeline down: every waiter on either side wakes with AbortException, and so
// does every later put or take. Both flags stay set for the channel's life. Thread-safe.
//
// Each side wakes the other only when that one waits and what it waits for is there: a
// put does not signal a taker that is busy, nor one that asked for more items than have
// arrived. Below the queue: its two ends as a stage holds them.
#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "yin/Exceptions.h"

namespace yin {

using Clock = std::chrono::steady_clock;
// An absolute time after which a take gives up; empty means no limit.
using Deadline = std::optional<Clock::time_point>;

template <typename T, typename Container = std::deque<T>>
class Channel {
  public:
    using Item = T;
    static constexpr std::size_t kDefaultCapacity = 2048;

    explicit Channel(std::size_t capacity = kDefaultCapacity) : capacity_(capacity) {}
    Channel(const Channel&) = delete;
    Channel& operator=(const Channel&) = delete;
    virtual ~Channel() = default;

    // Waits while the channel is full. Throws AbortException once the channel is aborted.
    bool put(T item) {
        std::unique_lock<std::mutex> lock(mutex_);
        waitForRoom(lock, 1);
        if (aborted_)
            throw AbortException("thread forced to end");
        insertFront(std::move(item));
        wakeTaker();
        return true;
    }

    // Puts every item in order, as many at a time as there is room for. Each side is woken
    // once per group, not once per item: the taker when a group arrives, and the putter
    // of a group that meets a full channel only when there is room for a good part of it
    // (a quarter of the channel). Handed on item by item, a burst would wake the other
    // side, and put it back to sleep, for every item. Throws AbortException once the
    // channel is aborted (the items not yet put are dropped). Leaves items empty.
    void putAll(std::vector<T>& items) {
        std::size_t next = 0;
        while (next < items.size()) {
            std::unique_lock<std::mutex> lock(mutex_);
            std::size_t quarter = capacity_ / 4 == 0 ? 1 : capacity_ / 4;
            std::size_t wanted = items.size() - next < quarter ? items.size() - next : quarter;
            if (items_.size() == capacity_)
                waitForRoom(lock, wanted);
            if (aborted_) {
                items.clear();
                throw AbortException("thread forced to end");
            }
            while (next < items.size() && items_.size() < capacity_)
                insertFront(std::move(items[next++]));
            wakeTaker();
        }
        items.clear();
    }

    // Waits while the channel is open and empty, at most until the deadline. Throws
    // TimeoutException when the deadline passes first (at once if it already has),
    // EndOfStreamException when the channel is closed and drained, AbortException once aborted.
    void take(T& out, const Deadline& deadline = std::nullopt) {
        std::unique_lock<std::mutex> lock(mutex_);
        waitForItems(lock, 1, deadline);
        out = removeBack();
        wakePutter();
    }

    // Appends up to `most` items to out, in order. Waits while the channel is open and
    // holds fewer than `least` items (at least 1, at most the capacity), at most until the
    // deadline; a deadline that passes with some items queued takes those. A taker that
    // handles items in groups asks for a group and is woken once per group, not per item.
    // Throws as take: TimeoutException only when nothing is queued at the deadline,
    // EndOfStreamException once closed and drained, AbortException once aborted.
    void takeSome(std::vector<T>& out, std::size_t most, std::size_t least,
                  const Deadline& deadline = std::nullopt) {
        std::unique_lock<std::mutex> lock(mutex_);
        waitForItems(lock, std::clamp<std::size_t>(least, 1, capacity_), deadline);
        for (std::size_t taken = 0; taken < most && !items_.empty(); ++taken)
            out.push_back(removeBack());
        wakePutter();
    }

    virtual void close(bool closed) {
        std::lock_guard<std::mutex> lock(mutex_);
        closed_ = closed_ || closed;
        if (closed)
            notEmpty_.notify_all();
    }

    virtual void abort(bool aborted) {
        std::lock_guard<std::mutex> lock(mutex_);
        aborted_ = aborted_ || aborted;
        if (aborted) {
            notEmpty_.notify_all();
            notFull_.notify_all();
        }
    }

    std::size_t size() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return items_.size();
    }
    std::size_t capacity() const { return capacity_; }
    bool closed() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return closed_;
    }
    bool aborted() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return aborted_;
    }

  protected:
    // Called with the lock held.
    virtual T removeBack() {
        T item = std::move(items_.back());
        items_.pop_back();
        return item;
    }
    virtual void insertFront(T item) { items_.push_front(std::move(item)); }

  private:
    // Waits until the channel has room for wanted items (at most its capacity) or is
    // aborted. The taker wakes the putter only then, so a waiting putter is not woken for
    // every item taken. The wish is made again before every wait: a wake-up that finds too
    // little room (a spurious one) must not leave the putter waiting unannounced.
    void waitForRoom(std::unique_lock<std::mutex>& lock, std::size_t wanted) {
        while (!aborted_ && capacity_ - items_.size() < wanted) {
            wantedRoom_ = wanted;
            notFull_.wait(lock);
        }
        wantedRoom_ = 0;
    }

    // Waits until the channel holds wanted items, or is closed with at least one, or the
    // deadline passes with at least one; throws otherwise (see takeSome). As with room, the
    // wish is made again before every wait.
    void waitForItems(std::unique_lock<std::mutex>& lock, std::size_t wanted,
                      const Deadline& deadline) {
        while (!aborted_ && !closed_ && items_.size() < wanted) {
            wantedItems_ = wanted;
            if (!deadline) {
                notEmpty_.wait(lock);
            } else if (notEmpty_.wait_until(lock, *deadline) == std::cv_status::timeout) {
                if (aborted_ || closed_ || !items_.empty())
                    break;
                wantedItems_ = 0;
                throw TimeoutException("timed out");
            }
        }
        wantedItems_ = 0;
        if (aborted_)
            throw AbortException("thread forced to end");
        if (items_.empty())
            throw EndOfStreamException("consumer to end");
    }

    // Called with the lock held, after items arrived or left.
    void wakeTaker() {
        if (wantedItems_ != 0 && items_.size() >= wantedItems_) {
            wantedItems_ = 0;
            notEmpty_.notify_one();
        }
    }
    void wakePutter() {
        if (wantedRoom_ != 0 && capacity_ - items_.size() >= wantedRoom_) {
            wantedRoom_ = 0;
            notFull_.notify_one();
        }
    }

    Container items_;
    const std::size_t capacity_;
    mutable std::mutex mutex_;  // guards items_, closed_ and aborted_
    std::condition_variable notFull_;
    std::condition_variable notEmpty_;
    bool closed_ = false;
    bool aborted_ = false;
    // Room the waiting putter needs before it is woken; 0 when no putter waits.
    std::size_t wantedRoom_ = 0;
    // Items the waiting taker needs before it is woken; 0 when no taker waits.
    std::size_t wantedItems_ = 0;
};

// The two ends of a channel as a stage holds them. An end keeps its channel alive, so a
// stage never outlives the queue it uses. Every exception from the channel passes
// through unchanged.
template <typename T, typename ChannelT = Channel<T>>
struct Puttable {
    explicit Puttable(std::shared_ptr<ChannelT> channel) : channel(std::move(channel)) {}
    virtual ~Puttable() = default;
    virtual bool put(T item) { return channel->put(std::move(item)); }

    std::shared_ptr<ChannelT> channel;
};

template <typename T, typename ChannelT = Channel<T>>
struct Takable {
    explicit Takable(std::shared_ptr<ChannelT> channel) : channel(std::move(channel)) {}
    virtual ~Takable() = default;
    virtual void take(T& out, const Deadline& deadline) { channel->take(out, deadline); }

    std::shared_ptr<ChannelT> channel;
};

}  // namespace yin
