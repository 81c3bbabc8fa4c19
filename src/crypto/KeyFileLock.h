// Serialises key generation between agent processes that share a configuration directory.
// The lock is a directory, because creating a directory is atomic and exclusive on every
// file system the agent runs on. A lock left behind by a crashed process is taken over
// once it is older than kStaleAfter; a lock that cannot be had within kMaxWait is given up
// on (logged), since the files are still replaced atomically.
#pragma once

#include <chrono>
#include <filesystem>

namespace crypto {

class KeyFileLock {
  public:
    static constexpr std::chrono::seconds kStaleAfter{60};
    static constexpr std::chrono::seconds kMaxWait{30};

    explicit KeyFileLock(std::filesystem::path lockPath);
    ~KeyFileLock();
    KeyFileLock(const KeyFileLock&) = delete;
    KeyFileLock& operator=(const KeyFileLock&) = delete;

    bool owned() const { return owned_; }

  private:
    bool tryAcquire();
    bool removeIfStale();

    std::filesystem::path lockPath_;
    bool owned_ = false;
};

}  // namespace crypto
