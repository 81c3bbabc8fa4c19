#include "backup-server/Retention.h"

#include <algorithm>
#include <functional>

namespace backup_server {
namespace {

std::int64_t dayOf(std::int64_t seconds) {
    return seconds >= 0 ? seconds / 86400 : (seconds - 86399) / 86400;
}

// 1970-01-01 was a Thursday: shifting by three days makes weeks start on Monday.
std::int64_t weekOf(std::int64_t seconds) {
    std::int64_t day = dayOf(seconds) + 3;
    return day >= 0 ? day / 7 : (day - 6) / 7;
}

// Keeps the newest point of each of the newest `count` periods.
void keepPerPeriod(const std::vector<DatedPoint>& newestFirst, std::uint32_t count,
                   const std::function<std::int64_t(std::int64_t)>& period,
                   std::set<std::int64_t>& kept) {
    std::uint32_t periods = 0;
    bool first = true;
    std::int64_t last = 0;
    for (const DatedPoint& point : newestFirst) {
        if (periods == count)
            break;
        std::int64_t current = period(point.created);
        if (first || current != last) {
            kept.insert(point.id);
            ++periods;
        }
        first = false;
        last = current;
    }
}

}  // namespace

std::set<std::int64_t> pointsKept(std::vector<DatedPoint> points, const RetentionPolicy& policy) {
    // Newest first; ids break ties, as they follow the order the points were made.
    std::sort(points.begin(), points.end(), [](const DatedPoint& a, const DatedPoint& b) {
        return a.created != b.created ? a.created > b.created : a.id > b.id;
    });
    std::set<std::int64_t> kept;
    for (std::size_t i = 0; i < points.size() && i < policy.keepLast; ++i)
        kept.insert(points[i].id);
    keepPerPeriod(points, policy.keepDaily, dayOf, kept);
    keepPerPeriod(points, policy.keepWeekly, weekOf, kept);
    return kept;
}

}  // namespace backup_server
