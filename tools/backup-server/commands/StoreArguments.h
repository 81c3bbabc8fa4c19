// Reading the KEY=VALUE words of the store commands.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "backup-server/store/OperatorValues.h"

namespace backup_server {

// The values the agent takes for the settings of a block stream: compression 0 (none) or
// 1 (deflate), level 0 to 9, encryption 0 (none) or 1; nothing for another key. Checked
// here so that a wrong value is refused before the agent takes a snapshot.
std::optional<std::uint32_t> streamSetting(const std::string& word, const std::string& key,
                                           const std::string& value);

}  // namespace backup_server
