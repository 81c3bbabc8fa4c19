// A volume's journal key: a random value that names one tracking period. The server
// stores it with a backup and presents it at the next one; an equal key proves that the
// agent's change list continues exactly from that backup.
#pragma once

#include <array>
#include <cstdint>

namespace filter {

constexpr std::size_t kJournalKeySize = 56;
using JournalKey = std::array<std::uint8_t, kJournalKeySize>;

// A fresh key from the cryptographic random generator. Never all zeros: zeros are what
// the agent sends for a volume it knows no key for, and that must never match.
JournalKey newJournalKey();

}  // namespace filter
