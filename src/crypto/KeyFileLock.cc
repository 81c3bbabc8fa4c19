#include "crypto/KeyFileLock.h"

#include <thread>

#include "logging/Logger.h"

namespace crypto {
namespace {

constexpr std::chrono::milliseconds kPollInterval{20};

}  // namespace

KeyFileLock::KeyFileLock(std::filesystem::path lockPath) : lockPath_(std::move(lockPath)) {
    const auto deadline = std::chrono::steady_clock::now() + kMaxWait;
    while (!tryAcquire()) {
        if (removeIfStale())
            continue;
        if (std::chrono::steady_clock::now() >= deadline) {
            logging::logWarn() << "key files are locked by another process (" << lockPath_.string()
                               << "), going on without the lock";
            return;
        }
        std::this_thread::sleep_for(kPollInterval);
    }
}

KeyFileLock::~KeyFileLock() {
    if (!owned_)
        return;
    std::error_code ignored;
    std::filesystem::remove(lockPath_, ignored);
}

bool KeyFileLock::tryAcquire() {
    std::error_code error;
    if (std::filesystem::create_directory(lockPath_, error)) {
        owned_ = true;
        return true;
    }
    // Without a parent directory there is nothing to lock and nothing to race for; the key
    // files themselves will report the problem.
    return error && !std::filesystem::exists(lockPath_.parent_path());
}

bool KeyFileLock::removeIfStale() {
    std::error_code error;
    const auto written = std::filesystem::last_write_time(lockPath_, error);
    if (error)
        return false;
    const auto age = std::filesystem::file_time_type::clock::now() - written;
    if (age < kStaleAfter)
        return false;
    logging::logWarn() << "removing stale key file lock (" << lockPath_.string() << ")";
    return std::filesystem::remove(lockPath_, error);
}

}  // namespace crypto
