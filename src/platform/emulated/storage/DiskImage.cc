#include "platform/emulated/storage/DiskImage.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/Errors.h"
#include "platform/System.h"
#include "platform/emulated/storage/ErrnoErrors.h"

namespace platform::emulated {
namespace {

// A disk that fails for a reason the errno table does not name fails as a device, as
// Windows reports a failing disk.
std::uint32_t diskError(int error) {
    return errorFromErrno(error, kErrorIoDevice);
}

bool insideImage(std::uint64_t offset, std::size_t length, std::uint64_t size) {
    return offset <= size && length <= size - offset;
}

}  // namespace

std::filesystem::path DiskImage::imagePath(const Host& host, std::uint32_t diskNumber) {
    return host.root() / "disks" / (std::to_string(diskNumber) + ".img");
}

std::unique_ptr<DiskImage> DiskImage::open(Host& host, std::uint32_t diskNumber, bool writable) {
    std::string path = imagePath(host, diskNumber).string();
    FileDescriptor fd(::open(path.c_str(), (writable ? O_RDWR : O_RDONLY) | O_CLOEXEC));
    struct stat status {};
    if (!fd.valid() || ::fstat(fd.get(), &status) != 0) {
        setLastError(diskError(errno));
        return nullptr;
    }
    if (!S_ISREG(status.st_mode)) {
        setLastError(kErrorFileNotFound);
        return nullptr;
    }
    return std::make_unique<DiskImage>(host, diskNumber, std::move(fd),
                                       static_cast<std::uint64_t>(status.st_size), writable);
}

DiskImage::DiskImage(Host& host, std::uint32_t number, FileDescriptor fd, std::uint64_t size,
                     bool writable)
    : host_(host), number_(number), fd_(std::move(fd)), size_(size), writable_(writable) {}

bool DiskImage::read(std::uint64_t offset, void* buffer, std::size_t length) const {
    if (!insideImage(offset, length, size_)) {
        setLastError(kErrorSectorNotFound);
        return false;
    }
    auto* bytes = static_cast<std::uint8_t*>(buffer);
    std::size_t done = 0;
    while (done < length) {
        ssize_t n =
            ::pread(fd_.get(), bytes + done, length - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            // The image shrank under us, or the host file system failed.
            setLastError(n == 0 ? kErrorSectorNotFound : diskError(errno));
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

bool DiskImage::write(std::uint64_t offset, const void* buffer, std::size_t length) {
    if (!writable_) {
        setLastError(kErrorAccessDenied);
        return false;
    }
    if (!insideImage(offset, length, size_)) {
        setLastError(kErrorSectorNotFound);
        return false;
    }
    host_.notifyBeforeDiskWrite(number_, offset, length);
    const auto* bytes = static_cast<const std::uint8_t*>(buffer);
    std::size_t done = 0;
    bool ok = true;
    while (done < length) {
        ssize_t n =
            ::pwrite(fd_.get(), bytes + done, length - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            setLastError(diskError(errno));
            ok = false;
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    // Observers hear how much may have changed, even after a failure part-way (and when
    // nothing did: what they began before the write ends here).
    host_.notifyAfterDiskWrite(number_, offset, ok ? length : done);
    return ok;
}

}  // namespace platform::emulated
