#include "platform/emulated/snapshot/FileLock.h"

#include <fcntl.h>
#include <sys/file.h>

#include <cerrno>
#include <system_error>

namespace platform::emulated {

FileLock::FileLock(const std::filesystem::path& file, Mode mode)
    : fd_(::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644)) {
    if (!fd_.valid())
        throw std::system_error(errno, std::generic_category(),
                                "cannot open lock file " + file.string());
    int operation = mode == Mode::shared ? LOCK_SH : LOCK_EX;
    while (::flock(fd_.get(), operation) != 0) {
        if (errno != EINTR)
            throw std::system_error(errno, std::generic_category(), "cannot lock " + file.string());
    }
}

FileLock::~FileLock() {
    ::flock(fd_.get(), LOCK_UN);
}

}  // namespace platform::emulated
