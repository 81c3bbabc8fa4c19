#include "platform/emulated/storage/DriveNamespace.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/System.h"
#include "platform/emulated/storage/DeviceCommon.h"
#include "platform/emulated/storage/ErrnoErrors.h"
#include "platform/emulated/storage/WindowsPath.h"

namespace platform::emulated {
namespace {

// O_ flags for a Windows creation disposition; -1 for an unknown one.
int dispositionFlags(std::uint32_t disposition) {
    switch (disposition) {
        case kCreateNew:
            return O_CREAT | O_EXCL;
        case kCreateAlways:
            return O_CREAT | O_TRUNC;
        case kOpenExisting:
            return 0;
        case kOpenAlways:
            return O_CREAT;
        case kTruncateExisting:
            return O_TRUNC;
        default:
            return -1;
    }
}

std::unique_ptr<OpenFile> openDirectory(const std::filesystem::path& path,
                                        const OpenRequest& request) {
    if ((request.flagsAndAttributes & kFileFlagBackupSemantics) == 0 ||
        (request.creationDisposition != kOpenExisting &&
         request.creationDisposition != kOpenAlways)) {
        setLastError(kErrorAccessDenied);
        return nullptr;
    }
    FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd.valid()) {
        setLastError(errorFromErrno(errno));
        return nullptr;
    }
    return std::make_unique<HostFile>(std::move(fd), request.desiredAccess, true);
}

std::unique_ptr<OpenFile> openRegularFile(const std::filesystem::path& path,
                                          const OpenRequest& request, bool existed) {
    int flags = dispositionFlags(request.creationDisposition);
    if (flags < 0 ||
        (request.creationDisposition == kTruncateExisting && !canWrite(request.desiredAccess))) {
        setLastError(kErrorInvalidParameter);
        return nullptr;
    }
    flags |= (canWrite(request.desiredAccess) ? O_RDWR : O_RDONLY) | O_CLOEXEC | O_NOFOLLOW;
    FileDescriptor fd(::open(path.c_str(), flags, 0644));
    if (!fd.valid()) {
        int error = errno;
        std::error_code ignored;
        bool parentMissing = !std::filesystem::is_directory(path.parent_path(), ignored);
        setLastError(error == ENOENT && parentMissing ? kErrorPathNotFound : errorFromErrno(error));
        return nullptr;
    }
    // Windows reports success with ERROR_ALREADY_EXISTS when these open an existing file.
    bool reports =
        request.creationDisposition == kCreateAlways || request.creationDisposition == kOpenAlways;
    setLastError(reports && existed ? kErrorAlreadyExists : kErrorSuccess);
    return std::make_unique<HostFile>(std::move(fd), request.desiredAccess, false);
}

bool letterAssigned(Host& host, wchar_t letter) {
    try {
        return host.config().get("letters", std::string(1, static_cast<char>(letter))).has_value();
    } catch (const std::exception&) {
        // An unreadable host.conf assigns no letters, so the path is not found.
        return false;
    }
}

}  // namespace

bool isDrivePath(const std::wstring& path) {
    bool invalid = false;
    return parseDrivePath(path, invalid).has_value() || invalid;
}

std::optional<std::filesystem::path> resolveDrivePath(Host& host, const std::wstring& path) {
    bool invalid = false;
    auto parsed = parseDrivePath(path, invalid);
    if (!parsed) {
        setLastError(invalid ? kErrorInvalidName : kErrorPathNotFound);
        return std::nullopt;
    }
    if (!letterAssigned(host, parsed->letter)) {
        setLastError(kErrorPathNotFound);
        return std::nullopt;
    }
    std::filesystem::path root =
        host.root() / "drives" / std::string(1, static_cast<char>(parsed->letter));
    std::error_code ignored;
    std::filesystem::create_directories(root, ignored);
    std::filesystem::path result = root;
    // Host file names are UTF-8 whatever the process locale (a wide path would go through
    // the locale's conversion, which fails for non-ASCII names in the "C" locale).
    for (const auto& component : parsed->components)
        result /= toNarrow(component);
    return result;
}

std::unique_ptr<OpenFile> openDriveFile(Host& host, const OpenRequest& request) {
    auto path = resolveDrivePath(host, request.path);
    if (!path)
        return nullptr;
    struct stat status {};
    bool existed = ::lstat(path->c_str(), &status) == 0;
    if (existed && S_ISDIR(status.st_mode))
        return openDirectory(*path, request);
    return openRegularFile(*path, request, existed);
}

bool HostFile::read(void* buffer, std::uint32_t size, std::uint32_t* bytesRead) {
    *bytesRead = 0;
    if (directory_ || !canRead(access_))
        return fail(kErrorAccessDenied);
    while (true) {
        ssize_t n = ::read(fd_.get(), buffer, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return fail(errorFromErrno(errno));
        *bytesRead = static_cast<std::uint32_t>(n);
        return true;
    }
}

bool HostFile::write(const void* buffer, std::uint32_t size, std::uint32_t* bytesWritten) {
    *bytesWritten = 0;
    if (directory_ || !canWrite(access_))
        return fail(kErrorAccessDenied);
    const auto* bytes = static_cast<const std::uint8_t*>(buffer);
    while (*bytesWritten < size) {
        ssize_t n = ::write(fd_.get(), bytes + *bytesWritten, size - *bytesWritten);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return fail(n < 0 ? errorFromErrno(errno) : kErrorDiskFull);
        *bytesWritten += static_cast<std::uint32_t>(n);
    }
    return true;
}

bool HostFile::seek(std::int64_t distance, std::uint32_t method, std::uint64_t* newPosition) {
    if (directory_)
        return fail(kErrorInvalidFunction);
    int whence = method == kFileBegin     ? SEEK_SET
                 : method == kFileCurrent ? SEEK_CUR
                 : method == kFileEnd     ? SEEK_END
                                          : -1;
    if (whence < 0)
        return fail(kErrorInvalidParameter);
    off_t position = ::lseek(fd_.get(), static_cast<off_t>(distance), whence);
    if (position < 0)
        return fail(errno == EINVAL ? kErrorNegativeSeek : errorFromErrno(errno));
    *newPosition = static_cast<std::uint64_t>(position);
    return true;
}

bool HostFile::ioControl(std::uint32_t, const void*, std::uint32_t, void*, std::uint32_t,
                         std::uint32_t* bytesReturned) {
    *bytesReturned = 0;
    return fail(kErrorInvalidFunction);
}

}  // namespace platform::emulated
