// One disk image of an emulated host (disks/N.img), opened for raw access. Every write goes
// through write(), which tells the host's write observers before and after the bytes change
// (copy-on-write snapshots, the change-tracking driver): the agent's writes through disk and
// volume devices and hostsim's changes all take this path.
//
// Reads and writes are bounded to the image: a range that leaves it fails with
// kErrorSectorNotFound and touches nothing. No faults are injected here (see
// FaultInjector.h, applied by the devices).
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>

#include "platform/emulated/Host.h"
#include "platform/posix/FileDescriptor.h"

namespace platform::emulated {

class DiskImage {
  public:
    // Null with the last error set (kErrorFileNotFound when the disk does not exist).
    static std::unique_ptr<DiskImage> open(Host& host, std::uint32_t diskNumber, bool writable);
    static std::filesystem::path imagePath(const Host& host, std::uint32_t diskNumber);

    std::uint32_t number() const { return number_; }
    std::uint64_t size() const { return size_; }

    // All or nothing: false with the last error set.
    bool read(std::uint64_t offset, void* buffer, std::size_t length) const;
    bool write(std::uint64_t offset, const void* buffer, std::size_t length);

    DiskImage(Host& host, std::uint32_t number, FileDescriptor fd, std::uint64_t size,
              bool writable);

  private:
    Host& host_;
    std::uint32_t number_;
    FileDescriptor fd_;
    std::uint64_t size_;
    bool writable_;
};

}  // namespace platform::emulated
