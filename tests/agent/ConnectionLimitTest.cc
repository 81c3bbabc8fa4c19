// The connection limit: slots up to the limit, refusals beyond it, and slots that outlive
// the owner's reference.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "agent/ConnectionLimit.h"

namespace {

TEST(ConnectionLimitTest, RefusesBeyondTheLimitAndAdmitsAgainWhenASlotIsFreed) {
    auto limit = std::make_shared<agent::ConnectionLimit>(3);
    std::vector<std::shared_ptr<agent::ConnectionLimit::Slot>> slots;
    for (int i = 0; i < 3; ++i) {
        slots.push_back(limit->take());
        ASSERT_NE(slots.back(), nullptr);
    }
    EXPECT_EQ(limit->take(), nullptr);
    EXPECT_EQ(limit->take(), nullptr);
    EXPECT_EQ(limit->active(), 3u);
    slots.pop_back();
    EXPECT_EQ(limit->active(), 2u);
    auto again = limit->take();
    EXPECT_NE(again, nullptr);

    // A connection thread may end after the accept loop let go of the limit.
    std::weak_ptr<agent::ConnectionLimit> watch = limit;
    limit.reset();
    EXPECT_FALSE(watch.expired());
    slots.clear();
    again.reset();
    EXPECT_TRUE(watch.expired());
}

}  // namespace
