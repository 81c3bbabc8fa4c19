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
// "2026-12-07 03:19:07" (UTC).
std::string utcTime(std::int64_t seconds);

}  // namespace backup_server
