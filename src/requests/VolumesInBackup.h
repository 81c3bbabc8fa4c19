// The volumes whose backups are running in this process. The process-wide backup lock ends
// once the snapshot is taken, so a second backup of a volume could otherwise start while the
// first still sends, end the first one's tracking period and leave it with a journal key that
// no longer describes what it sent. A backup claims its volume for its whole length; backups
// of other volumes are not held up. Thread-safe.
#pragma once

#include <memory>
#include <mutex>
#include <set>
#include <string>

namespace requests {

class VolumesInBackup {
  public:
    // Held while a backup of the volume runs; releases the volume when destroyed.
    class Claim {
      public:
        explicit Claim(std::wstring volume) : volume_(std::move(volume)) {}
        ~Claim();
        Claim(const Claim&) = delete;
        Claim& operator=(const Claim&) = delete;

      private:
        std::wstring volume_;
    };

    // The claim on volume (a volume's device path, the same for every name of it), or null
    // when a backup of it is running.
    static std::unique_ptr<Claim> tryClaim(const std::wstring& volume);

  private:
    static std::mutex& mutex();
    static std::set<std::wstring>& claimed();
};

}  // namespace requests
