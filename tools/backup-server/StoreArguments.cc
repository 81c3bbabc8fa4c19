#include "backup-server/StoreArguments.h"

#include <ctime>

#include "backup-server/Command.h"

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

std::string utcTime(std::int64_t seconds) {
    std::time_t time = static_cast<std::time_t>(seconds);
    std::tm parts{};
    gmtime_r(&time, &parts);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &parts);
    return text;
}

}  // namespace backup_server
