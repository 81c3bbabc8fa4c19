// Reading the KEY=VALUE words of the store commands.
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
// The values the agent takes for the settings of a block stream: compression 0 (none) or
// 1 (deflate), level 0 to 9, encryption 0 (none) or 1; nothing for another key. Checked
// here so that a wrong value is refused before the agent takes a snapshot.
std::optional<std::uint32_t> streamSetting(const std::string& word, const std::string& key,
                                           const std::string& value);
// A duration such as 90s, 36h, 14d, 2w, 6m, 1y or 1y6m in seconds (a month is 30 days, a year
// 365); throws UsageError naming word otherwise.
std::int64_t durationSeconds(const std::string& word, const std::string& text);
// "2026-12-07 03:19:07" (UTC).
std::string utcTime(std::int64_t seconds);

}  // namespace backup_server
