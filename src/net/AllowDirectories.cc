#include "net/AllowDirectories.h"

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <system_error>

#include "crypto/RsaKeyFiles.h"
#include "logging/Logger.h"
#include "net/LocalLogOnly.h"
#include "platform/RegularFile.h"

namespace net {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// A directory's modification time tells of files added, removed or renamed; a file edited in
// place leaves it alone, so the listing is also taken again after this long.
constexpr auto kRescanInterval = std::chrono::seconds(2);

struct AllowFile {
    fs::file_time_type time;
    std::uintmax_t size = 0;
    crypto::RsaKeyPtr key;  // null: not a readable key (reported once)
};
using AllowFiles = std::map<std::string, AllowFile>;

crypto::RsaKeyPtr parseAllowFile(const fs::path& file) {
    std::string text;
    auto result = platform::readRegularFile(file, crypto::encryption::kMaxKeyFileBytes, text);
    if (result == platform::RegularFileRead::notRegular) {
        logging::logWarn() << "skipping " << file.string() << ": not a regular file";
        return nullptr;
    }
    if (result != platform::RegularFileRead::ok) {
        logging::logWarn() << "error opening " << file.string() << " for reading";
        return nullptr;
    }
    crypto::RsaKeyPtr key = crypto::RsaKey::readPublicPem(text);
    if (!key)
        logging::logWarn() << "error reading RSA public key (" << file.string() << ")";
    return key;
}

// One allow directory's keys, parsed once and again only for files that changed.
class AllowDirectory {
  public:
    explicit AllowDirectory(fs::path dir) : dir_(std::move(dir)) {}

    std::shared_ptr<const AllowFiles> current() {
        std::lock_guard<std::mutex> lock(mutex_);
        std::error_code error;
        auto time = fs::last_write_time(dir_, error);
        std::optional<fs::file_time_type> dirTime;
        if (!error)
            dirTime = time;
        if (files_ && dirTime == dirTime_ && Clock::now() - scanned_ < kRescanInterval &&
            !recent(dirTime))
            return files_;
        // What the cache reports goes to the agent's own log only: a peer that has not yet
        // authenticated must learn nothing of the agent's files.
        LocalLogOnly local;
        if (!dirTime) {
            if (dirTime_ || !files_)
                logging::logWarn()
                    << "cannot read allow directory " << dir_.string() << ": " << error.message();
            files_ = std::make_shared<const AllowFiles>();
        } else {
            files_ = scan();
        }
        dirTime_ = dirTime;
        scanned_ = Clock::now();
        return files_;
    }

  private:
    // File times are coarse (a clock tick or more): two changes within one tick leave the
    // same time, so a directory changed a moment ago is always listed again.
    static bool recent(const std::optional<fs::file_time_type>& time) {
        return time && fs::file_time_type::clock::now() - *time < std::chrono::seconds(1);
    }

    std::shared_ptr<const AllowFiles> scan() {
        auto files = std::make_shared<AllowFiles>();
        try {
            for (const auto& entry : fs::directory_iterator(dir_))
                scanEntry(entry, *files);
        } catch (const std::exception& failure) {
            logging::logWarn() << failure.what();
        }
        return files;
    }

    void scanEntry(const fs::directory_entry& entry, AllowFiles& files) {
        std::error_code error;
        AllowFile file;
        file.time = entry.last_write_time(error);
        if (!error)
            file.size = entry.file_size(error);
        std::string name = entry.path().filename().string();
        auto known = files_ ? files_->find(name) : AllowFiles::const_iterator{};
        if (!error && files_ && known != files_->end() && known->second.time == file.time &&
            known->second.size == file.size) {
            files.emplace(name, known->second);
            return;
        }
        file.key = parseAllowFile(entry.path());
        files.emplace(name, std::move(file));
    }

    std::mutex mutex_;  // guards dirTime_, scanned_ and files_
    const fs::path dir_;
    std::optional<fs::file_time_type> dirTime_;
    Clock::time_point scanned_;
    std::shared_ptr<const AllowFiles> files_;
};

AllowDirectory& allowDirectory(const fs::path& dir) {
    static std::mutex mutex;  // guards directories
    static std::map<fs::path, std::unique_ptr<AllowDirectory>> directories;
    std::lock_guard<std::mutex> lock(mutex);
    auto& slot = directories[dir];
    if (!slot)
        slot = std::make_unique<AllowDirectory>(dir);
    return *slot;
}

crypto::RsaKeyPtr searchBoth(const fs::path& serverAllowDir, const fs::path& backupAllowDir,
                             const std::function<crypto::RsaKeyPtr(const AllowFiles&)>& search) {
    if (auto key = search(*allowDirectory(serverAllowDir).current()))
        return key;
    return search(*allowDirectory(backupAllowDir).current());
}

}  // namespace

crypto::RsaKeyPtr findAllowedKeyByAddress(const std::string& address,
                                          const fs::path& serverAllowDir,
                                          const fs::path& backupAllowDir) {
    return searchBoth(serverAllowDir, backupAllowDir,
                      [&address](const AllowFiles& files) -> crypto::RsaKeyPtr {
                          auto found = files.find(address);
                          return found == files.end() ? nullptr : found->second.key;
                      });
}

bool isKeyAllowed(const crypto::RsaKey& key, const fs::path& serverAllowDir,
                  const fs::path& backupAllowDir) {
    auto match = searchBoth(serverAllowDir, backupAllowDir,
                            [&key](const AllowFiles& files) -> crypto::RsaKeyPtr {
                                for (const auto& [name, file] : files) {
                                    if (file.key && file.key->samePublicKey(key))
                                        return file.key;
                                }
                                return nullptr;
                            });
    return match != nullptr;
}

}  // namespace net
