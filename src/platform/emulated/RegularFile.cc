#include "platform/RegularFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/posix/FileDescriptor.h"

namespace platform {

RegularFileRead readRegularFile(const std::filesystem::path& path, std::size_t maxBytes,
                                std::string& content) {
    // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a writer.
    FileDescriptor file(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    if (file.get() < 0)
        return errno == ENOENT ? RegularFileRead::missing : RegularFileRead::failed;
    struct stat info {};
    if (::fstat(file.get(), &info) != 0)
        return RegularFileRead::failed;
    if (!S_ISREG(info.st_mode))
        return RegularFileRead::notRegular;
    if (static_cast<std::uint64_t>(info.st_size) > maxBytes)
        return RegularFileRead::tooLarge;
    content.assign(static_cast<std::size_t>(info.st_size) + 1, '\0');
    std::size_t got = 0;
    // One byte more than the size: a file that grew meanwhile is noticed.
    while (got < content.size()) {
        ssize_t n = ::read(file.get(), content.data() + got, content.size() - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return RegularFileRead::failed;
        if (n == 0)
            break;
        got += static_cast<std::size_t>(n);
    }
    if (got > maxBytes)
        return RegularFileRead::tooLarge;
    content.resize(got);
    return RegularFileRead::ok;
}

}  // namespace platform
