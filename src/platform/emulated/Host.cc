#include "platform/emulated/Host.h"

#include <sys/stat.h>

#include <cstdlib>
#include <map>

#include "platform/Errors.h"
#include "platform/System.h"

namespace platform::emulated {
namespace {

std::filesystem::path defaultRoot() {
    if (const char* root = std::getenv("ZENTRAD_HOST_ROOT"); root != nullptr && *root != '\0') {
        return std::filesystem::path(root);
    }
    std::filesystem::path module(toNarrow(getModuleFileName()));
    return module.parent_path() / "host";
}

}  // namespace

void DeviceTable::add(std::unique_ptr<DeviceProvider> provider) {
    std::lock_guard<std::mutex> lock(mutex_);
    providers_.push_back(std::move(provider));
}

std::unique_ptr<OpenFile> DeviceTable::open(const OpenRequest& request) {
    DeviceProvider* chosen = nullptr;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto& provider : providers_) {
            if (provider->claims(request.path)) {
                chosen = provider.get();
                break;
            }
        }
    }
    if (chosen == nullptr) {
        setLastError(kErrorFileNotFound);
        return nullptr;
    }
    return chosen->open(request);
}

Host& Host::current() {
    return at(defaultRoot());
}

Host& Host::at(const std::filesystem::path& root) {
    // Hosts live as long as the process: open handles may refer to them.
    static std::mutex hostsMutex;  // guards hosts
    static auto* hosts = new std::map<std::filesystem::path, std::unique_ptr<Host>>();
    std::filesystem::path key = std::filesystem::absolute(root).lexically_normal();
    std::lock_guard<std::mutex> lock(hostsMutex);
    auto it = hosts->find(key);
    if (it == hosts->end()) {
        auto host = std::make_unique<Host>(key);
        registerStorageDevices(*host);
        registerDriverDevices(*host);
        registerSnapshotDevices(*host);
        it = hosts->emplace(key, std::move(host)).first;
    }
    return *it->second;
}

Host::Host(std::filesystem::path root) : root_(std::move(root)) {}

HostConfig Host::config() {
    std::lock_guard<std::mutex> lock(mutex_);
    struct stat status {};
    if (::stat(configFile().c_str(), &status) != 0) {
        cachedConfig_ = HostConfig{};
        cached_ = false;
        return cachedConfig_;
    }
    std::array<std::int64_t, 6> stamp = {static_cast<std::int64_t>(status.st_ino),
                                         static_cast<std::int64_t>(status.st_size),
                                         status.st_mtim.tv_sec,
                                         status.st_mtim.tv_nsec,
                                         status.st_ctim.tv_sec,
                                         status.st_ctim.tv_nsec};
    if (!cached_ || stamp != cachedStamp_) {
        cachedConfig_ = HostConfig::load(configFile());
        cachedStamp_ = stamp;
        cached_ = true;
    }
    return cachedConfig_;
}

void Host::addWriteObserver(std::shared_ptr<DiskWriteObserver> observer) {
    std::lock_guard<std::mutex> lock(mutex_);
    observers_.push_back(std::move(observer));
}

void Host::notifyBeforeDiskWrite(std::uint32_t diskNumber, std::uint64_t offset,
                                 std::uint64_t length) {
    std::vector<std::shared_ptr<DiskWriteObserver>> observers;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        observers = observers_;
    }
    for (auto& observer : observers)
        observer->beforeDiskWrite(diskNumber, offset, length);
}

void Host::notifyAfterDiskWrite(std::uint32_t diskNumber, std::uint64_t offset,
                                std::uint64_t length) {
    std::vector<std::shared_ptr<DiskWriteObserver>> observers;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        observers = observers_;
    }
    for (auto& observer : observers)
        observer->afterDiskWrite(diskNumber, offset, length);
}

void Host::runBetweenRecordAndWrite(std::function<void()> hook) {
    std::lock_guard<std::mutex> lock(mutex_);
    betweenRecordAndWrite_ = std::move(hook);
}

void Host::betweenRecordAndWrite() {
    std::function<void()> hook;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        hook.swap(betweenRecordAndWrite_);
    }
    if (hook)
        hook();
}

}  // namespace platform::emulated
