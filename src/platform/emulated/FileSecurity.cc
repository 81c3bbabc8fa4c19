// Access to the agent's state files on the emulated host: permission bits stand in for
// access lists (see FileSecurity.h).
#include "platform/FileSecurity.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/Errors.h"
#include "platform/System.h"
#include "platform/emulated/storage/ErrnoErrors.h"

namespace platform {

bool protectForAdministrators(const std::filesystem::path& path) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0 ||
        ::chmod(path.c_str(), S_ISDIR(status.st_mode) ? 0700 : 0600) != 0) {
        setLastError(emulated::errorFromErrno(errno));
        return false;
    }
    return true;
}

bool createProtectedDirectory(const std::filesystem::path& path) {
    // The mode is applied after creation as well, since the umask narrows mkdir's.
    if (::mkdir(path.c_str(), 0700) != 0) {
        setLastError(errno == EEXIST ? kErrorAlreadyExists : emulated::errorFromErrno(errno));
        return false;
    }
    return protectForAdministrators(path);
}

bool createProtectedFile(const std::filesystem::path& path) {
    int descriptor = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (descriptor < 0) {
        setLastError(emulated::errorFromErrno(errno));
        return false;
    }
    ::close(descriptor);
    return true;
}

bool readAccessList(const std::filesystem::path& path, AccessList* list) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) {
        setLastError(emulated::errorFromErrno(errno));
        return false;
    }
    *list = AccessList{};
    list->allowed = {kSidLocalSystem, kSidAdministrators};
    if ((status.st_mode & 077) != 0)
        list->allowed.push_back(kSidEveryone);
    list->inheritanceBlocked = (status.st_mode & 077) == 0;
    return true;
}

}  // namespace platform
