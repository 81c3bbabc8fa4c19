// Files and directories on the emulated host's mapped drives.
#include "platform/FileSystem.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>

#include "platform/ByteOrder.h"
#include "platform/emulated/storage/DeviceCommon.h"
#include "platform/emulated/storage/DriveNamespace.h"
#include "platform/emulated/storage/ErrnoErrors.h"

namespace platform {
namespace {

using emulated::fail;

// Linux cannot set a file's birth time, so the creation time set through the seam is kept
// beside the file.
constexpr const char* kCreationTimeAttribute = "user.zentrad.creation-time";

// 100-ns intervals between 1601-01-01 and 1970-01-01.
constexpr std::int64_t kUnixEpochAsFileTime = 116444736000000000LL;
constexpr std::int64_t kTicksPerSecond = 10000000;

timespec toTimespec(const FileTime& time) {
    std::int64_t ticks = static_cast<std::int64_t>(time.value()) - kUnixEpochAsFileTime;
    std::int64_t seconds = ticks / kTicksPerSecond;
    std::int64_t rest = ticks % kTicksPerSecond;
    if (rest < 0) {
        rest += kTicksPerSecond;
        --seconds;
    }
    return timespec{static_cast<time_t>(seconds), static_cast<long>(rest * 100)};
}

FileTime fromTimespec(const timespec& time) {
    std::int64_t ticks = static_cast<std::int64_t>(time.tv_sec) * kTicksPerSecond +
                         time.tv_nsec / 100 + kUnixEpochAsFileTime;
    return FileTime::fromValue(static_cast<std::uint64_t>(ticks < 0 ? 0 : ticks));
}

emulated::HostFile* hostFile(FileHandle& file) {
    return file ? dynamic_cast<emulated::HostFile*>(file.get()) : nullptr;
}

bool parentExists(const std::filesystem::path& path) {
    std::error_code ignored;
    return std::filesystem::is_directory(path.parent_path(), ignored);
}

FileTime creationTimeOf(int fd, const struct stat& status) {
    std::uint8_t bytes[8] = {};
    if (::fgetxattr(fd, kCreationTimeAttribute, bytes, sizeof bytes) == sizeof bytes) {
        return FileTime::fromValue(loadLittleU64(bytes));
    }
    struct statx extended {};
    if (::statx(fd, "", AT_EMPTY_PATH, STATX_BTIME, &extended) == 0 &&
        (extended.stx_mask & STATX_BTIME) != 0) {
        return fromTimespec(timespec{static_cast<time_t>(extended.stx_btime.tv_sec),
                                     static_cast<long>(extended.stx_btime.tv_nsec)});
    }
    return fromTimespec(status.st_mtim);
}

}  // namespace

bool createDirectory(const std::wstring& path) {
    auto target = emulated::resolveDrivePath(emulated::Host::current(), path);
    if (!target)
        return false;
    if (::mkdir(target->c_str(), 0755) == 0)
        return true;
    int error = errno;
    if (error == ENOENT && !parentExists(*target))
        return fail(kErrorPathNotFound);
    // CreateDirectory reports an existing name as ERROR_ALREADY_EXISTS, where CreateFile
    // reports ERROR_FILE_EXISTS.
    return fail(error == EEXIST ? kErrorAlreadyExists : emulated::errorFromErrno(error));
}

bool removeDirectory(const std::wstring& path) {
    auto target = emulated::resolveDrivePath(emulated::Host::current(), path);
    if (!target)
        return false;
    return ::rmdir(target->c_str()) == 0 || fail(emulated::errorFromErrno(errno));
}

bool deleteFile(const std::wstring& path) {
    auto target = emulated::resolveDrivePath(emulated::Host::current(), path);
    if (!target)
        return false;
    struct stat status {};
    if (::lstat(target->c_str(), &status) != 0) {
        return fail(!parentExists(*target) ? kErrorPathNotFound : kErrorFileNotFound);
    }
    if (S_ISDIR(status.st_mode))
        return fail(kErrorAccessDenied);
    return ::unlink(target->c_str()) == 0 || fail(emulated::errorFromErrno(errno));
}

std::uint32_t getFileAttributes(const std::wstring& path) {
    auto target = emulated::resolveDrivePath(emulated::Host::current(), path);
    struct stat status {};
    if (!target)
        return kInvalidFileAttributes;
    if (::lstat(target->c_str(), &status) != 0) {
        setLastError(!parentExists(*target) ? kErrorPathNotFound : kErrorFileNotFound);
        return kInvalidFileAttributes;
    }
    return S_ISDIR(status.st_mode) ? kFileAttributeDirectory : kFileAttributeNormal;
}

bool setFileTime(FileHandle& file, const FileTime* creationTime, const FileTime* lastAccessTime,
                 const FileTime* lastWriteTime) {
    emulated::HostFile* target = hostFile(file);
    if (target == nullptr)
        return fail(file ? kErrorInvalidFunction : kErrorInvalidHandle);
    if ((target->access() & (kFileWriteAttributes | kGenericWrite | emulated::kGenericAll)) == 0) {
        return fail(kErrorAccessDenied);
    }
    if (creationTime != nullptr) {
        std::uint8_t bytes[8];
        std::uint64_t value = creationTime->value();
        for (int i = 0; i < 8; ++i)
            bytes[i] = static_cast<std::uint8_t>(value >> (8 * i));
        if (::fsetxattr(target->descriptor(), kCreationTimeAttribute, bytes, sizeof bytes, 0) !=
            0) {
            return fail(emulated::errorFromErrno(errno));
        }
    }
    timespec times[2] = {{0, UTIME_OMIT}, {0, UTIME_OMIT}};
    if (lastAccessTime != nullptr)
        times[0] = toTimespec(*lastAccessTime);
    if (lastWriteTime != nullptr)
        times[1] = toTimespec(*lastWriteTime);
    return ::futimens(target->descriptor(), times) == 0 || fail(emulated::errorFromErrno(errno));
}

bool getFileTime(FileHandle& file, FileTime* creationTime, FileTime* lastAccessTime,
                 FileTime* lastWriteTime) {
    emulated::HostFile* target = hostFile(file);
    if (target == nullptr)
        return fail(file ? kErrorInvalidFunction : kErrorInvalidHandle);
    struct stat status {};
    if (::fstat(target->descriptor(), &status) != 0)
        return fail(emulated::errorFromErrno(errno));
    if (creationTime != nullptr)
        *creationTime = creationTimeOf(target->descriptor(), status);
    if (lastAccessTime != nullptr)
        *lastAccessTime = fromTimespec(status.st_atim);
    if (lastWriteTime != nullptr)
        *lastWriteTime = fromTimespec(status.st_mtim);
    return true;
}

}  // namespace platform
