// Manual- and auto-reset events and a wait for any of several, built from the standard
// library. They give the driver monitor the signalling it needs: request threads raise
// events, the monitor thread sleeps until one of them is raised.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <initializer_list>
#include <mutex>
#include <optional>
#include <vector>

namespace filter {

class EventWaiter;
class EventRegistration;

class Event {
  public:
    enum class Reset { Manual, Auto };

    explicit Event(Reset reset) : autoReset_(reset == Reset::Auto) {}
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;

    // Raises the event and wakes every thread waiting on it. A manual-reset event stays
    // raised until reset(); an auto-reset event is lowered again by the one wait it ends.
    void set();
    void reset();
    // True when raised; never lowers an auto-reset event.
    bool isSet();
    // Waits until raised or until the timeout (none: for ever); true when raised.
    bool wait(std::optional<std::chrono::milliseconds> timeout);

  private:
    friend class EventRegistration;
    class EventRegistration;
    friend std::optional<std::size_t> waitForAny(std::initializer_list<Event*>,
                                                 std::optional<std::chrono::milliseconds>);
    // Lowers an auto-reset event as it reports it raised.
    bool consume();
    void attach(EventWaiter* waiter);
    void detach(EventWaiter* waiter);

    std::mutex mutex_;  // guards signalled_ and waiters_
    bool signalled_ = false;
    bool autoReset_;
    std::vector<EventWaiter*> waiters_;
};

// Waits until one of the events is raised and returns its position in the list; when
// several are raised the first one listed wins (and only that one is consumed). Returns
// nothing when the timeout (none: for ever) passes first.
std::optional<std::size_t> waitForAny(std::initializer_list<Event*> events,
                                      std::optional<std::chrono::milliseconds> timeout);

}  // namespace filter
