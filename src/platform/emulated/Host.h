// The emulated Windows host: a directory (the host root) holding host.conf and the
// host's state (disk images, driver queue, snapshot stores, drive folders). Several
// processes (the agent, hostsim, tests) may work on one host at once, so all shared state
// lives in files under the root and is changed under file locks.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/File.h"
#include "platform/emulated/HostConfig.h"

namespace platform::emulated {

struct OpenRequest {
    std::wstring path;
    std::uint32_t desiredAccess = 0;
    std::uint32_t shareMode = 0;
    std::uint32_t creationDisposition = 0;
    std::uint32_t flagsAndAttributes = 0;
};

// One family of devices or files (physical drives, volumes, the driver's control device,
// snapshot views, files on mapped drives). The first provider that claims a path opens it.
class DeviceProvider {
  public:
    virtual ~DeviceProvider() = default;
    virtual bool claims(const std::wstring& path) const = 0;
    // Returns null with the last error set on failure.
    virtual std::unique_ptr<OpenFile> open(const OpenRequest& request) = 0;
};

class DeviceTable {
  public:
    void add(std::unique_ptr<DeviceProvider> provider);
    // Null with kErrorFileNotFound when no provider claims the path.
    std::unique_ptr<OpenFile> open(const OpenRequest& request);

  private:
    std::mutex mutex_;  // guards providers_ (not the providers' own state)
    std::vector<std::unique_ptr<DeviceProvider>> providers_;
};

// Told about every write to a disk image, whichever path it came through (disk device,
// volume device, hostsim). Offsets are bytes on the disk.
class DiskWriteObserver {
  public:
    virtual ~DiskWriteObserver() = default;
    // Before the bytes change, in the order the observers were added: the change-tracking
    // driver records the change (as a filter driver does in the write path), then
    // copy-on-write snapshots save the old contents.
    virtual void beforeDiskWrite(std::uint32_t diskNumber, std::uint64_t offset,
                                 std::uint64_t length) = 0;
    // After the write, whether or not it succeeded (length: what may have changed).
    virtual void afterDiskWrite(std::uint32_t diskNumber, std::uint64_t offset,
                                std::uint64_t length) = 0;
};

class Host {
  public:
    // The host of this process: $ZENTRAD_HOST_ROOT, else "host" beside the executable
    // (as the agent's installation directory). A changed variable selects another host.
    static Host& current();
    // A host at an explicit root (hostsim and tests).
    static Host& at(const std::filesystem::path& root);

    const std::filesystem::path& root() const { return root_; }
    std::filesystem::path configFile() const { return root_ / "host.conf"; }

    // host.conf as it is on disk now (re-read when it changed).
    HostConfig config();

    DeviceTable& devices() { return devices_; }

    void addWriteObserver(std::shared_ptr<DiskWriteObserver> observer);
    void notifyBeforeDiskWrite(std::uint32_t diskNumber, std::uint64_t offset,
                               std::uint64_t length);
    void notifyAfterDiskWrite(std::uint32_t diskNumber, std::uint64_t offset, std::uint64_t length);

    // Test hook: runs once, in this process, at the next write's moment between the
    // driver's record of it and the bytes changing (before copy-on-write saves them), so a
    // test can end a tracking period and take a snapshot exactly there. Null clears it.
    void runBetweenRecordAndWrite(std::function<void()> hook);
    // Called by the driver's filter: runs and clears the hook, if one is set.
    void betweenRecordAndWrite();

    explicit Host(std::filesystem::path root);
    Host(const Host&) = delete;
    Host& operator=(const Host&) = delete;

  private:
    std::filesystem::path root_;
    DeviceTable devices_;
    std::mutex mutex_;  // guards observers_ and the cached host.conf below
    std::vector<std::shared_ptr<DiskWriteObserver>> observers_;
    HostConfig cachedConfig_;
    // Identity of the host.conf the cache was read from: inode, size and change times, as
    // file times alone are too coarse to tell two quick rewrites apart.
    std::array<std::int64_t, 6> cachedStamp_{};
    bool cached_ = false;
    std::function<void()> betweenRecordAndWrite_;  // guarded by mutex_
};

// Device families, each installed into a host when the host is first used. Each lives in
// its own file next to the devices it provides.
void registerStorageDevices(Host& host);
void registerDriverDevices(Host& host);
void registerSnapshotDevices(Host& host);

}  // namespace platform::emulated
