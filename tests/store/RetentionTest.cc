#include "backup-server/store/Retention.h"

#include <gtest/gtest.h>

#include "backup-server/commands/Command.h"

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

namespace {

using backup_server::RetentionPolicy;

RetentionPolicy rules(std::initializer_list<const char*> words) {
    RetentionPolicy policy;
    for (const char* word : words)
        EXPECT_TRUE(backup_server::setRetentionRule(policy, word)) << word;
    return policy;
}

// 2024-01-01 00:00 UTC, a Monday in a leap year.
constexpr std::int64_t kJanuary2024 = 1704067200;

TEST(RetentionTest, HourlyMonthlyYearlyAndWithinFollowTheCalendar) {
    // A point every 6 hours over 2024 and 2025 (ids in time order).
    std::vector<DatedPoint> points;
    for (std::int64_t i = 0; i < 4 * 731; ++i)
        points.push_back({i + 1, kJanuary2024 + i * 6 * 3600});
    const std::int64_t newest = static_cast<std::int64_t>(points.size());
    EXPECT_EQ(pointsKept(points, rules({"keep-hourly=3"})),
              (std::set<std::int64_t>{newest - 2, newest - 1, newest}));
    // Month ends: the newest of December 2025, November and October (31 + 30 days back).
    EXPECT_EQ(pointsKept(points, rules({"keep-monthly=3"})),
              (std::set<std::int64_t>{newest, newest - 4 * 31, newest - 4 * 61}));
    // Years: the last point of 2025 and of 2024 (366 days in 2024).
    EXPECT_EQ(pointsKept(points, rules({"keep-yearly=5"})),
              (std::set<std::int64_t>{newest, 4 * 366}));
    // Within two days of the newest point: 8 intervals of 6 hours and the newest itself.
    EXPECT_EQ(pointsKept(points, rules({"keep-within=2d"})).size(), 9u);
    EXPECT_EQ(pointsKept(points, rules({"keep-within=1d12h"})).size(), 7u);
    EXPECT_EQ(backup_server::describePolicy(rules({"keep-last=2", "keep-within=36h"})),
              "keep-last=2 keep-within=129600s");
}

TEST(RetentionTest, RulesAreCheckedWordByWord) {
    RetentionPolicy policy;
    EXPECT_FALSE(backup_server::setRetentionRule(policy, "keep-forever=1"));
    EXPECT_FALSE(policy.keepsAny());
    for (const char* wrong : {"keep-daily=x", "keep-within=", "keep-within=5", "keep-within=0d",
                              "keep-within=3q", "keep-hourly=-1"}) {
        EXPECT_THROW(backup_server::setRetentionRule(policy, wrong), backup_server::UsageError)
            << wrong;
    }
}

}  // namespace
