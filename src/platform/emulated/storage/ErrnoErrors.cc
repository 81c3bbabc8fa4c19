#include "platform/emulated/storage/ErrnoErrors.h"

#include <cerrno>

namespace platform::emulated {

std::uint32_t errorFromErrno(int error, std::uint32_t otherwise) {
    switch (error) {
        case ENOENT:
            return kErrorFileNotFound;
        case ENOTDIR:
            return kErrorPathNotFound;
        case EEXIST:
            return kErrorFileExists;
        case ENOTEMPTY:
            return kErrorDirNotEmpty;
        case EACCES:
        case EPERM:
        case EISDIR:
        case EROFS:
            return kErrorAccessDenied;
        case ENOSPC:
        case EDQUOT:
            return kErrorDiskFull;
        case ENAMETOOLONG:
            return kErrorFilenameExcedRange;
        case ENOTSUP:
            return kErrorNotSupported;
        case EIO:
            return kErrorIoDevice;
        default:
            return otherwise;
    }
}

}  // namespace platform::emulated
