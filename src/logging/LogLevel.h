#pragma once

#include <cstdint>

namespace logging {

// Levels are plain numbers: lines may be logged at values outside the four known ones,
// which print as "UNKNOWN".
using LogLevel = std::uint32_t;
constexpr LogLevel kLogError = 1;
constexpr LogLevel kLogWarn = 2;
constexpr LogLevel kLogInfo = 3;
constexpr LogLevel kLogDebug = 4;

// "ERROR", "WARN", "INFO", "DEBUG" or "UNKNOWN".
const char* logLevelName(LogLevel level);

}  // namespace logging
