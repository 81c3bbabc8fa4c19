// Which restore points of one volume a retention policy keeps: the newest keepLast
// points, the newest point of each of the newest keepDaily days (UTC) that have points,
// and the newest point of each of the newest keepWeekly weeks (Monday to Sunday, UTC).
// A point kept by any rule is kept.
#pragma once

#include <cstdint>
#include <set>
#include <vector>

namespace backup_server {

struct RetentionPolicy {
    std::uint32_t keepLast = 0;
    std::uint32_t keepDaily = 0;
    std::uint32_t keepWeekly = 0;
};

struct DatedPoint {
    std::int64_t id = 0;
    std::int64_t created = 0;  // seconds since 1970, UTC
};

// points in any order; returns the ids kept.
std::set<std::int64_t> pointsKept(std::vector<DatedPoint> points, const RetentionPolicy& policy);

}  // namespace backup_server
