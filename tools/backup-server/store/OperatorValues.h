// Values as operators write and read them: KEY=VALUE words, whole numbers, durations, UTC
// times and byte sizes. A wrong value is a UsageError naming the word it came from.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace backup_server {

// The value of word when it is KEY=VALUE with this key; nothing for another key.
std::optional<std::string> valueOf(const std::string& word, const std::string& key);
// A whole number of at most 18 digits; throws UsageError naming word otherwise.
std::uint64_t wholeNumber(const std::string& word, const std::string& value);
// A whole number from low to high (KEY=VALUE word); throws UsageError saying the range.
std::uint64_t boundedNumber(const std::string& word, const std::string& value, std::uint64_t low,
                            std::uint64_t high);
// A duration such as 90s, 36h, 14d, 2w, 6m, 1y or 1y6m in seconds (a month is 30 days, a year
// 365); throws UsageError naming word otherwise.
std::int64_t durationSeconds(const std::string& word, const std::string& text);
// "2026-12-07 03:19:07" (UTC).
std::string utcTime(std::int64_t seconds);
// "1.5 GiB", "812 KiB", "17 bytes": binary units, one decimal from KiB up.
std::string humanBytes(std::uint64_t bytes);

}  // namespace backup_server
