#include "backup-server/store/Retention.h"

#include <algorithm>
#include <functional>

#include "backup-server/store/OperatorValues.h"

namespace backup_server {
namespace {

constexpr std::int64_t kHour = 3600;
constexpr std::int64_t kDay = 86400;

std::int64_t floorDivide(std::int64_t value, std::int64_t divisor) {
    return value >= 0 ? value / divisor : (value - divisor + 1) / divisor;
}

std::int64_t hourOf(std::int64_t seconds) {
    return floorDivide(seconds, kHour);
}

std::int64_t dayOf(std::int64_t seconds) {
    return floorDivide(seconds, kDay);
}

// 1970-01-01 was a Thursday: shifting by three days makes weeks start on Monday.
std::int64_t weekOf(std::int64_t seconds) {
    return floorDivide(dayOf(seconds) + 3, 7);
}

// Year and month (0-11) of a day since 1970 in the proleptic Gregorian calendar.
void civilMonth(std::int64_t day, std::int64_t& year, std::int64_t& month) {
    day += 719468;  // days from 0000-03-01
    std::int64_t era = floorDivide(day, 146097);
    std::int64_t dayOfEra = day - era * 146097;
    std::int64_t yearOfEra =
        (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    std::int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    std::int64_t marchMonth = (5 * dayOfYear + 2) / 153;  // 0 is March
    month = marchMonth < 10 ? marchMonth + 2 : marchMonth - 10;
    year = yearOfEra + era * 400 + (month < 2 ? 1 : 0);
}

std::int64_t monthOf(std::int64_t seconds) {
    std::int64_t year = 0;
    std::int64_t month = 0;
    civilMonth(dayOf(seconds), year, month);
    return year * 12 + month;
}

std::int64_t yearOf(std::int64_t seconds) {
    return floorDivide(monthOf(seconds), 12);
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

struct CountRule {
    const char* key;
    std::uint32_t RetentionPolicy::*field;
};

const CountRule kCountRules[] = {
    {"keep-last", &RetentionPolicy::keepLast},       {"keep-hourly", &RetentionPolicy::keepHourly},
    {"keep-daily", &RetentionPolicy::keepDaily},     {"keep-weekly", &RetentionPolicy::keepWeekly},
    {"keep-monthly", &RetentionPolicy::keepMonthly}, {"keep-yearly", &RetentionPolicy::keepYearly},
};

}  // namespace

std::set<std::int64_t> pointsKept(std::vector<DatedPoint> points, const RetentionPolicy& policy) {
    // Newest first; ids break ties, as they follow the order the points were made.
    std::sort(points.begin(), points.end(), [](const DatedPoint& a, const DatedPoint& b) {
        return a.created != b.created ? a.created > b.created : a.id > b.id;
    });
    std::set<std::int64_t> kept;
    for (std::size_t i = 0; i < points.size() && i < policy.keepLast; ++i)
        kept.insert(points[i].id);
    keepPerPeriod(points, policy.keepHourly, hourOf, kept);
    keepPerPeriod(points, policy.keepDaily, dayOf, kept);
    keepPerPeriod(points, policy.keepWeekly, weekOf, kept);
    keepPerPeriod(points, policy.keepMonthly, monthOf, kept);
    keepPerPeriod(points, policy.keepYearly, yearOf, kept);
    if (policy.keepWithin > 0 && !points.empty()) {
        std::int64_t since = points.front().created - policy.keepWithin;
        for (const DatedPoint& point : points) {
            if (point.created < since)
                break;
            kept.insert(point.id);
        }
    }
    return kept;
}

bool setRetentionRule(RetentionPolicy& policy, const std::string& word) {
    for (const CountRule& rule : kCountRules) {
        if (auto value = valueOf(word, rule.key)) {
            policy.*rule.field =
                static_cast<std::uint32_t>(boundedNumber(word, *value, 0, 1000000));
            return true;
        }
    }
    if (auto within = valueOf(word, "keep-within")) {
        policy.keepWithin = durationSeconds(word, *within);
        return true;
    }
    return false;
}

std::string describePolicy(const RetentionPolicy& policy) {
    std::string text;
    for (const CountRule& rule : kCountRules) {
        if (policy.*rule.field != 0)
            text += (text.empty() ? "" : " ") + std::string(rule.key) + "=" +
                    std::to_string(policy.*rule.field);
    }
    if (policy.keepWithin > 0)
        text += (text.empty() ? "" : " ") + std::string("keep-within=") +
                std::to_string(policy.keepWithin) + "s";
    return text;
}

}  // namespace backup_server
