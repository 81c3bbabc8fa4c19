#include "filter/Event.h"

#include <algorithm>

namespace filter {

// One waiting thread's wake-up flag, registered with every event it waits on.
class EventWaiter {
  public:
    void notify() {
        std::lock_guard<std::mutex> lock(mutex_);
        notified_ = true;
        condition_.notify_one();
    }

    // Sleeps until notified or until the deadline; false on time-out. Clears the flag, so
    // the caller re-checks its events after every wake-up.
    bool sleep(std::optional<std::chrono::steady_clock::time_point> deadline) {
        std::unique_lock<std::mutex> lock(mutex_);
        if (deadline) {
            condition_.wait_until(lock, *deadline, [this] { return notified_; });
        } else {
            condition_.wait(lock, [this] { return notified_; });
        }
        bool woken = notified_;
        notified_ = false;
        return woken;
    }

  private:
    std::mutex mutex_;  // guards notified_
    std::condition_variable condition_;
    bool notified_ = false;
};

// Keeps a waiter registered with a set of events for the length of one wait.
class EventRegistration {
  public:
    EventRegistration(std::initializer_list<Event*> events, EventWaiter& waiter);
    EventRegistration(const EventRegistration&) = delete;
    EventRegistration& operator=(const EventRegistration&) = delete;
    ~EventRegistration();

  private:
    std::initializer_list<Event*> events_;
    EventWaiter& waiter_;
};

void Event::set() {
    std::lock_guard<std::mutex> lock(mutex_);
    signalled_ = true;
    for (EventWaiter* waiter : waiters_)
        waiter->notify();
}

void Event::reset() {
    std::lock_guard<std::mutex> lock(mutex_);
    signalled_ = false;
}

bool Event::isSet() {
    std::lock_guard<std::mutex> lock(mutex_);
    return signalled_;
}

bool Event::wait(std::optional<std::chrono::milliseconds> timeout) {
    return waitForAny({this}, timeout).has_value();
}

bool Event::consume() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!signalled_)
        return false;
    if (autoReset_)
        signalled_ = false;
    return true;
}

void Event::attach(EventWaiter* waiter) {
    std::lock_guard<std::mutex> lock(mutex_);
    waiters_.push_back(waiter);
}

void Event::detach(EventWaiter* waiter) {
    std::lock_guard<std::mutex> lock(mutex_);
    waiters_.erase(std::remove(waiters_.begin(), waiters_.end(), waiter), waiters_.end());
}

EventRegistration::EventRegistration(std::initializer_list<Event*> events, EventWaiter& waiter)
    : events_(events), waiter_(waiter) {
    try {
        for (Event* event : events_)
            event->attach(&waiter_);
    } catch (...) {
        for (Event* event : events_)
            event->detach(&waiter_);
        throw;
    }
}

EventRegistration::~EventRegistration() {
    for (Event* event : events_)
        event->detach(&waiter_);
}

std::optional<std::size_t> waitForAny(std::initializer_list<Event*> events,
                                      std::optional<std::chrono::milliseconds> timeout) {
    std::optional<std::chrono::steady_clock::time_point> deadline;
    if (timeout)
        deadline = std::chrono::steady_clock::now() + *timeout;
    EventWaiter waiter;
    EventRegistration registration(events, waiter);
    for (;;) {
        // A set() after these checks notifies the waiter, so the sleep below returns at
        // once and the events are checked again: no wake-up is lost.
        std::size_t index = 0;
        for (Event* event : events) {
            if (event->consume())
                return index;
            ++index;
        }
        if (!waiter.sleep(deadline))
            return std::nullopt;
    }
}

}  // namespace filter
