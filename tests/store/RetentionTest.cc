#include "backup-server/Retention.h"

#include <gtest/gtest.h>

namespace {

using backup_server::DatedPoint;
using backup_server::pointsKept;

constexpr std::int64_t kDay = 86400;
// Monday 2026-11-30 00:00 UTC.
constexpr std::int64_t kMonday = 1795996800;

TEST(RetentionTest, LastDailyAndWeeklyRulesKeepTheUnionOfTheirPoints) {
    // Two points a day for 15 days, ids in time order.
    std::vector<DatedPoint> points;
    for (std::int64_t day = 0; day < 15; ++day) {
        points.push_back({2 * day + 1, kMonday + day * kDay + 3600});
        points.push_back({2 * day + 2, kMonday + day * kDay + 7200});
    }
    EXPECT_EQ(pointsKept(points, {2, 0, 0}), (std::set<std::int64_t>{29, 30}));
    // The newest point of each of the last three days.
    EXPECT_EQ(pointsKept(points, {1, 3, 0}), (std::set<std::int64_t>{26, 28, 30}));
    // Weeks run Monday to Sunday: day 14 is the third week's Monday, days 7-13 the second.
    EXPECT_EQ(pointsKept(points, {1, 0, 3}), (std::set<std::int64_t>{14, 28, 30}));
    EXPECT_EQ(pointsKept(points, {1, 1, 2}), (std::set<std::int64_t>{28, 30}));
    // More than there are keeps everything; order of the input does not matter.
    std::vector<DatedPoint> reversed(points.rbegin(), points.rend());
    EXPECT_EQ(pointsKept(reversed, {100, 0, 0}).size(), points.size());
    EXPECT_TRUE(pointsKept({}, {3, 3, 3}).empty());
}

}  // namespace
