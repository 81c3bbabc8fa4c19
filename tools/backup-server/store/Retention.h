// Which restore points of one volume a retention policy keeps: the newest keepLast
// points; the newest point of each of the newest keepHourly hours, keepDaily days,
// keepWeekly weeks (Monday to Sunday), keepMonthly months and keepYearly years (all UTC)
// that have points; and every point made within keepWithin seconds before the newest
// point (measured from the newest point, not from now, so a schedule that stopped never
// ages everything out). A point kept by any rule is kept.
#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace backup_server {

struct RetentionPolicy {
    std::uint32_t keepLast = 0;
    std::uint32_t keepDaily = 0;
    std::uint32_t keepWeekly = 0;
    std::uint32_t keepHourly = 0;
    std::uint32_t keepMonthly = 0;
    std::uint32_t keepYearly = 0;
    std::int64_t keepWithin = 0;  // seconds

    // Whether any rule keeps a point (a policy that keeps nothing forgets everything).
    bool keepsAny() const {
        return keepLast != 0 || keepDaily != 0 || keepWeekly != 0 || keepHourly != 0 ||
               keepMonthly != 0 || keepYearly != 0 || keepWithin > 0;
    }
};

struct DatedPoint {
    std::int64_t id = 0;
    std::int64_t created = 0;  // seconds since 1970, UTC
};

// points in any order; returns the ids kept.
std::set<std::int64_t> pointsKept(std::vector<DatedPoint> points, const RetentionPolicy& policy);

// Sets the rule a KEY=VALUE word names (keep-last, keep-hourly, keep-daily, keep-weekly,
// keep-monthly, keep-yearly: a count; keep-within: a duration such as 36h, 14d, 2w, 6m, 1y
// or 1y6m, where a month is 30 days and a year 365). Returns false for another key;
// throws UsageError for a bad value.
bool setRetentionRule(RetentionPolicy& policy, const std::string& word);

// "keep-last=7 keep-daily=14", the rules that are set, for messages.
std::string describePolicy(const RetentionPolicy& policy);

}  // namespace backup_server
