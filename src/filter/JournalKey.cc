#include "filter/JournalKey.h"

#include <openssl/rand.h>

#include <algorithm>
#include <random>

namespace filter {
namespace {

bool allZero(const JournalKey& key) {
    return std::all_of(key.begin(), key.end(), [](std::uint8_t b) { return b == 0; });
}

}  // namespace

JournalKey newJournalKey() {
    JournalKey key{};
    do {
        if (RAND_bytes(key.data(), static_cast<int>(key.size())) != 1) {
            // The generator is unusable (it never is once seeded); the operating system's
            // source still gives a key no earlier period can have had.
            std::random_device device;
            for (auto& byte : key)
                byte = static_cast<std::uint8_t>(device());
        }
    } while (allZero(key));
    return key;
}

}  // namespace filter
