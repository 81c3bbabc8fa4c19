#include "filter/Event.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace {

using filter::Event;
using filter::waitForAny;
using namespace std::chrono_literals;

TEST(Event, ManualResetStaysSetAutoResetIsConsumedByOneWait) {
    Event manual(Event::Reset::Manual);
    Event automatic(Event::Reset::Auto);
    manual.set();
    automatic.set();
    EXPECT_TRUE(manual.wait(0ms));
    EXPECT_TRUE(manual.wait(0ms));
    EXPECT_TRUE(automatic.isSet());  // looking does not consume
    EXPECT_TRUE(automatic.wait(0ms));
    EXPECT_FALSE(automatic.wait(0ms));
    manual.reset();
    EXPECT_FALSE(manual.wait(10ms));
}

TEST(Event, WaitForAnyPrefersTheFirstListedAndConsumesOnlyIt) {
    Event stop(Event::Reset::Auto);
    Event flush(Event::Reset::Auto);
    Event poll(Event::Reset::Manual);
    poll.set();
    flush.set();
    stop.set();
    EXPECT_EQ(waitForAny({&stop, &flush, &poll}, 0ms), std::size_t{0});
    EXPECT_EQ(waitForAny({&stop, &flush, &poll}, 0ms), std::size_t{1});
    EXPECT_EQ(waitForAny({&stop, &flush, &poll}, 0ms), std::size_t{2});
    EXPECT_EQ(waitForAny({&stop, &flush, &poll}, 0ms), std::size_t{2});
    poll.reset();
    EXPECT_EQ(waitForAny({&stop, &flush, &poll}, 20ms), std::nullopt);
}

TEST(Event, SetFromAnotherThreadWakesAWaiterWithoutTimeLimit) {
    Event first(Event::Reset::Manual);
    Event second(Event::Reset::Auto);
    std::optional<std::size_t> woken;
    std::thread waiter([&] { woken = waitForAny({&first, &second}, std::nullopt); });
    std::this_thread::sleep_for(20ms);
    second.set();
    waiter.join();
    EXPECT_EQ(woken, std::size_t{1});
    EXPECT_FALSE(second.isSet());
}

}  // namespace
