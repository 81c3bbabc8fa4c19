#include "yin/Channel.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

namespace {

using IntChannel = yin::Channel<int>;
using namespace std::chrono_literals;

TEST(ChannelTest, ClosedChannelIsDrainedInOrderBeforeTheEnd) {
    IntChannel channel;
    for (int i = 0; i < 3; ++i)
        channel.put(i);
    channel.close(true);
    int item = -1;
    for (int i = 0; i < 3; ++i) {
        channel.take(item);
        EXPECT_EQ(i, item);
    }
    EXPECT_THROW(channel.take(item), yin::EndOfStreamException);
}

TEST(ChannelTest, PastDeadlineTimesOutOnlyWhenEmpty) {
    IntChannel channel;
    int item = 0;
    yin::Deadline past = yin::Clock::now() - 1s;
    EXPECT_THROW(channel.take(item, past), yin::TimeoutException);
    channel.put(7);
    channel.take(item, past);
    EXPECT_EQ(7, item);
}

TEST(ChannelTest, AbortWakesBlockedPutterAndTaker) {
    IntChannel full(1);
    IntChannel empty;
    full.put(1);
    std::atomic<int> aborted{0};
    std::thread putter([&] {
        try {
            full.put(2);
        } catch (const yin::AbortException& e) {
            EXPECT_STREQ("thread forced to end", e.what());
            ++aborted;
        }
    });
    std::thread taker([&] {
        int item = 0;
        try {
            empty.take(item);
        } catch (const yin::AbortException&) {
            ++aborted;
        }
    });
    std::this_thread::sleep_for(20ms);
    full.abort(true);
    empty.abort(true);
    putter.join();
    taker.join();
    EXPECT_EQ(2, aborted.load());
    int item = 0;
    EXPECT_THROW(full.take(item), yin::AbortException);
}

TEST(ChannelTest, HoldsCapacityItemsThenBlocksUntilOneIsTaken) {
    IntChannel channel;
    ASSERT_EQ(2048u, channel.capacity());
    for (int i = 0; i < 2047; ++i)
        channel.put(i);
    channel.put(2047);  // the 2048th still fits: returns at once on this thread
    std::atomic<bool> putDone{false};
    std::thread putter([&] {
        channel.put(2048);
        putDone = true;
    });
    std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(putDone.load());
    int item = -1;
    channel.take(item);
    EXPECT_EQ(0, item);
    putter.join();
    EXPECT_EQ(2048u, channel.size());
}

// A group larger than the channel goes in as room appears, in order, and leaves the
// caller's vector empty; an abort ends a group that waits for room.
TEST(ChannelTest, GroupsLargerThanTheChannelArriveWholeAndInOrder) {
    IntChannel channel(3);
    std::vector<int> group(10);
    for (int i = 0; i < 10; ++i)
        group[i] = i;
    std::thread putter([&] {
        channel.putAll(group);
        channel.close(true);
    });
    std::vector<int> taken;
    int item = -1;
    try {
        for (;;) {
            channel.take(item);
            taken.push_back(item);
        }
    } catch (const yin::EndOfStreamException&) {
    }
    putter.join();
    EXPECT_EQ(taken, (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9}));
    EXPECT_TRUE(group.empty());

    IntChannel full(2);
    std::vector<int> more{1, 2, 3, 4};
    std::atomic<bool> aborted{false};
    std::thread blocked([&] {
        try {
            full.putAll(more);
        } catch (const yin::AbortException&) {
            aborted = true;
        }
    });
    std::this_thread::sleep_for(20ms);
    full.abort(true);
    blocked.join();
    EXPECT_TRUE(aborted.load());
    EXPECT_TRUE(more.empty());
    std::vector<int> late{5};
    EXPECT_THROW(full.putAll(late), yin::AbortException);
}

// A group take hands over at most `most` items in order, and waits for `least` of them
// only while the stream is open and the deadline has not passed.
TEST(ChannelTest, GroupTakesNeverWaitPastTheEndTheDeadlineOrTheCapacity) {
    IntChannel channel(4);
    for (int i = 0; i < 3; ++i)
        channel.put(i);
    std::vector<int> taken;
    channel.takeSome(taken, 2, 1);
    EXPECT_EQ(taken, (std::vector<int>{0, 1}));
    channel.takeSome(taken, 10, 1);  // appends what is there
    EXPECT_EQ(taken, (std::vector<int>{0, 1, 2}));

    // More than the channel holds cannot be waited for: a full channel is enough.
    for (int i = 3; i < 7; ++i)
        channel.put(i);
    taken.clear();
    channel.takeSome(taken, 100, 100);
    EXPECT_EQ(taken, (std::vector<int>{3, 4, 5, 6}));

    // A deadline that passes hands over what is there, and times out only on nothing.
    yin::Deadline past = yin::Clock::now() - 1s;
    taken.clear();
    EXPECT_THROW(channel.takeSome(taken, 8, 4, past), yin::TimeoutException);
    channel.put(7);
    channel.takeSome(taken, 8, 4, past);
    EXPECT_EQ(taken, (std::vector<int>{7}));

    // The end hands over a short group, then ends the stream.
    channel.put(8);
    channel.put(9);
    channel.close(true);
    taken.clear();
    channel.takeSome(taken, 8, 4);
    EXPECT_EQ(taken, (std::vector<int>{8, 9}));
    EXPECT_THROW(channel.takeSome(taken, 8, 4), yin::EndOfStreamException);
}

// A taker waiting for a group sleeps through the puts that leave it short, is woken by
// the one that completes it, by the end of the stream, and by an abort.
TEST(ChannelTest, AGroupTakerIsWokenByItsGroupTheEndOrAnAbort) {
    IntChannel channel;
    std::atomic<bool> returned{false};
    std::vector<int> taken;
    std::thread taker([&] {
        channel.takeSome(taken, 8, 4);
        returned = true;
    });
    for (int i = 0; i < 3; ++i)
        channel.put(i);
    std::this_thread::sleep_for(30ms);
    EXPECT_FALSE(returned.load());
    std::vector<int> rest{3, 4};
    channel.putAll(rest);
    taker.join();
    EXPECT_EQ(taken, (std::vector<int>{0, 1, 2, 3, 4}));

    for (bool aborting : {false, true}) {
        IntChannel ending;
        std::vector<int> got;
        std::atomic<int> outcome{0};
        std::thread waiting([&] {
            try {
                ending.takeSome(got, 8, 8);
                outcome = 1;
            } catch (const yin::AbortException&) {
                outcome = 2;
            }
        });
        ending.put(1);
        std::this_thread::sleep_for(20ms);
        if (aborting)
            ending.abort(true);
        else
            ending.close(true);
        waiting.join();
        EXPECT_EQ(outcome.load(), aborting ? 2 : 1);
        EXPECT_EQ(got, aborting ? std::vector<int>{} : std::vector<int>{1});
    }
}

}  // namespace
