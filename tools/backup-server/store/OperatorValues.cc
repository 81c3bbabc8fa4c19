#include "backup-server/store/OperatorValues.h"

#include <cstdio>
#include <ctime>
#include <iterator>

#include "backup-server/store/StoreError.h"

namespace backup_server {

std::optional<std::string> valueOf(const std::string& word, const std::string& key) {
    if (word.size() <= key.size() || word.compare(0, key.size(), key) != 0 ||
        word[key.size()] != '=') {
        return std::nullopt;
    }
    return word.substr(key.size() + 1);
}

std::uint64_t wholeNumber(const std::string& word, const std::string& value) {
    if (value.empty() || value.size() > 18 ||
        value.find_first_not_of("0123456789") != std::string::npos) {
        throw UsageError("not a number: " + word);
    }
    return std::stoull(value);
}

std::uint64_t boundedNumber(const std::string& word, const std::string& value, std::uint64_t low,
                            std::uint64_t high) {
    std::uint64_t number = wholeNumber(word, value);
    if (number < low || number > high) {
        std::string key = word.substr(0, word.find('='));
        throw UsageError(word + ": " + key + " takes " + std::to_string(low) +
                         (high == low + 1 ? " or " : " to ") + std::to_string(high));
    }
    return number;
}

std::int64_t durationSeconds(const std::string& word, const std::string& text) {
    std::int64_t total = 0;
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t digits = text.find_first_not_of("0123456789", at);
        if (digits == at || digits == std::string::npos || digits - at > 6)
            throw UsageError(word +
                             ": a duration is written like 90s, 36h, 14d, 2w, 6m, 1y or 1y6m");
        std::int64_t count = std::stoll(text.substr(at, digits - at));
        switch (text[digits]) {
            case 's':
                total += count;
                break;
            case 'h':
                total += count * 3600;
                break;
            case 'd':
                total += count * 86400;
                break;
            case 'w':
                total += count * 7 * 86400;
                break;
            case 'm':
                total += count * 30 * 86400;
                break;
            case 'y':
                total += count * 365 * 86400;
                break;
            default:
                throw UsageError(word + ": units are s, h, d, w, m (30 days) and y (365 days)");
        }
        at = digits + 1;
    }
    if (total == 0)
        throw UsageError(word + ": a duration above zero is needed");
    return total;
}

std::string utcTime(std::int64_t seconds) {
    std::time_t time = static_cast<std::time_t>(seconds);
    std::tm parts{};
    gmtime_r(&time, &parts);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &parts);
    return text;
}

std::string humanBytes(std::uint64_t bytes) {
    static const char* const units[] = {"KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
    if (bytes < 1024)
        return std::to_string(bytes) + (bytes == 1 ? " byte" : " bytes");
    double value = static_cast<double>(bytes) / 1024;
    std::size_t unit = 0;
    while (value >= 1024 && unit + 1 < std::size(units)) {
        value /= 1024;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof text, "%.1f %s", value, units[unit]);
    return text;
}

}  // namespace backup_server
