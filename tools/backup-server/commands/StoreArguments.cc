#include "backup-server/commands/StoreArguments.h"

namespace backup_server {

std::optional<std::uint32_t> streamSetting(const std::string& word, const std::string& key,
                                           const std::string& value) {
    std::uint64_t high = 0;
    if (key == "compression" || key == "encryption")
        high = 1;
    else if (key == "level")
        high = 9;
    else
        return std::nullopt;
    return static_cast<std::uint32_t>(boundedNumber(word, value, 0, high));
}

}  // namespace backup_server
